// The device broadcast reader on any record.
//
// The record is copied into a heap block of exactly its size, so a read past
// the size it was given is an out-of-bounds read under ASan. What comes back
// must be what the bytes say: a type only from a whole header, a path only
// for an interface record whose name ends inside the record. The input also
// makes a record to read back: any path without a zero byte survives.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/window/window.h"

using korrin::window::BroadcastView;
using korrin::window::BuildInterfaceBroadcast;
using korrin::window::DBT_DEVTYP_DEVICEINTERFACE;
using korrin::window::kBroadcastNameOffset;
using korrin::window::ReadBroadcast;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> record(new std::uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(record.get(), data, size);
  const BroadcastView view = ReadBroadcast(size == 0 ? nullptr : record.get(), size);

  FUZZ_CHECK(view.deviceType.has_value() == (size >= 8));
  if (view.deviceType) {
    std::uint32_t type = 0;
    std::memcpy(&type, data + 4, sizeof type);  // little-endian on this machine
    FUZZ_CHECK(*view.deviceType == type);
  }
  if (view.path) {
    FUZZ_CHECK(*view.deviceType == DBT_DEVTYP_DEVICEINTERFACE);
    FUZZ_CHECK(kBroadcastNameOffset + view.path->size() < size);
    FUZZ_CHECK(data[kBroadcastNameOffset + view.path->size()] == 0);
    FUZZ_CHECK(std::memcmp(view.path->data(), data + kBroadcastNameOffset, view.path->size()) == 0);
  } else if (view.deviceType == DBT_DEVTYP_DEVICEINTERFACE && size > kBroadcastNameOffset) {
    // No path although the type carries one: no terminator inside the record.
    FUZZ_CHECK(std::memchr(data + kBroadcastNameOffset, 0, size - kBroadcastNameOffset) == nullptr);
  }

  // A record made from the input reads back as it was made.
  const std::string path(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  const std::uint32_t type = size == 0 ? 0u : (data[0] & 1) ? DBT_DEVTYP_DEVICEINTERFACE : data[0];
  const std::vector<std::uint8_t> made = BuildInterfaceBroadcast(type, path);
  std::uint32_t madeSize = 0;
  std::memcpy(&madeSize, made.data(), sizeof madeSize);
  FUZZ_CHECK(madeSize == made.size());
  const BroadcastView back = ReadBroadcast(made.data(), made.size());
  FUZZ_CHECK(back.deviceType == type);
  FUZZ_CHECK(type == DBT_DEVTYP_DEVICEINTERFACE ? back.path == path : !back.path.has_value());
  return 0;
}
