// Resources (icons, strings), system metrics, dialog units and the device
// broadcast record: the parts of the layer that need no event loop.
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <unordered_map>

#include "platform/window/window.h"

namespace korrin::window {
namespace {

struct Resources {
  std::mutex mutex;
  std::unordered_map<int, Icon> images;
  std::unordered_map<int, Icon*> loaded;
  // Handed-out icons live for the whole process, even when an id is
  // registered again: HICON values must never dangle.
  std::list<Icon> handedOut;
  std::unordered_map<UINT, std::string> strings;
};

Resources& TheResources() {
  static Resources resources;
  return resources;
}

// Nearest-neighbour scaling keeps a small pixel-art icon crisp, as the
// window system's stretch of a 16 x 16 image to the large-icon size does.
Icon Scaled(const Icon& image, int size) {
  Icon out;
  out.width = size;
  out.height = size;
  out.argb.resize(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
  if (image.width <= 0 || image.height <= 0 ||
      image.argb.size() < static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
    return out;
  }
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const int sx = x * image.width / size;
      const int sy = y * image.height / size;
      out.argb[static_cast<std::size_t>(y * size + x)] = image.argb[static_cast<std::size_t>(sy * image.width + sx)];
    }
  }
  return out;
}

void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

}  // namespace

void RegisterIconResource(int id, Icon image) {
  Resources& r = TheResources();
  std::lock_guard lock(r.mutex);
  r.images[id] = std::move(image);
  r.loaded.erase(id);
}

HICON LoadIcon(int id) {
  Resources& r = TheResources();
  std::lock_guard lock(r.mutex);
  if (auto it = r.loaded.find(id); it != r.loaded.end()) return it->second;
  auto image = r.images.find(id);
  if (image == r.images.end()) return nullptr;
  r.handedOut.push_back(Scaled(image->second, GetSystemMetrics(SM_CXICON)));
  Icon* icon = &r.handedOut.back();
  r.loaded[id] = icon;
  return icon;
}

const Icon* IconResourceImage(int id) {
  Resources& r = TheResources();
  std::lock_guard lock(r.mutex);
  auto it = r.images.find(id);
  return it == r.images.end() ? nullptr : &it->second;
}

void RegisterStringResource(UINT id, std::string text) {
  Resources& r = TheResources();
  std::lock_guard lock(r.mutex);
  r.strings[id] = std::move(text);
}

std::string LoadString(UINT id) {
  Resources& r = TheResources();
  std::lock_guard lock(r.mutex);
  auto it = r.strings.find(id);
  return it == r.strings.end() ? std::string() : it->second;
}

int GetSystemMetrics(int index) {
  switch (index) {
    case SM_CXICON:
    case SM_CYICON:
      return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
      return 16;
    default:
      return 0;
  }
}

int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const long long product = static_cast<long long>(number) * numerator;
  const long long half = std::llabs(static_cast<long long>(denominator)) / 2;
  // Rounds half away from zero.
  const bool negative = (product < 0) != (denominator < 0);
  const long long magnitude = (std::llabs(product) + half) / std::llabs(static_cast<long long>(denominator));
  return static_cast<int>(negative ? -magnitude : magnitude);
}

Rect DialogUnitsToPixels(const FontMetrics& metrics, int x, int y, int cx, int cy) {
  const int left = MulDiv(x, metrics.averageCharWidth, 4);
  const int top = MulDiv(y, metrics.charHeight, 8);
  return {left, top, left + MulDiv(cx, metrics.averageCharWidth, 4), top + MulDiv(cy, metrics.charHeight, 8)};
}

std::vector<std::uint8_t> BuildInterfaceBroadcast(std::uint32_t deviceType, const std::string& path) {
  std::vector<std::uint8_t> record(kBroadcastNameOffset + path.size() + 1, 0);
  PutLe32(record, 0, static_cast<std::uint32_t>(record.size()));
  PutLe32(record, 4, deviceType);
  std::memcpy(record.data() + kBroadcastNameOffset, path.data(), path.size());
  return record;
}

BroadcastView ReadBroadcast(const std::uint8_t* record, std::size_t size) {
  BroadcastView view;
  if (record == nullptr || size < 8) return view;
  view.deviceType = GetLe32(record + 4);
  if (*view.deviceType != DBT_DEVTYP_DEVICEINTERFACE || size <= kBroadcastNameOffset) return view;
  const auto* name = record + kBroadcastNameOffset;
  const void* end = std::memchr(name, 0, size - kBroadcastNameOffset);
  if (end == nullptr) return view;
  view.path = std::string(reinterpret_cast<const char*>(name),
                          static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - name));
  return view;
}

}  // namespace korrin::window
