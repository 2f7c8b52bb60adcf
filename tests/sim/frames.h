// Frames built by hand for the device's tests, independently of both the
// device and the programmer, so that neither can agree with itself on a
// mistake. frames_helper_test.cpp checks them against worked examples.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "sim/bootloader.h"
#include "sim/image_gen.h"

namespace korrin::sim::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Frame(std::uint8_t id, std::uint8_t flag, std::uint8_t command, std::uint16_t value,
                   std::span<const std::uint8_t> payload) {
  Bytes r(kReportSize, 0);
  r[0] = id;
  r[1] = 0x7F;
  r[2] = 0xA5;
  r[3] = flag;
  r[4] = command;
  r[5] = static_cast<std::uint8_t>(value & 0xFF);
  r[6] = static_cast<std::uint8_t>(value >> 8);
  unsigned sum = flag + command + r[5] + r[6];
  for (std::size_t i = 0; i < payload.size(); ++i) {
    r[7 + i] = payload[i];
    sum += payload[i];
  }
  r[7 + payload.size()] = static_cast<std::uint8_t>(~sum & 0xFF);
  r[8 + payload.size()] = 0xFF;
  return r;
}

inline Bytes ReadRequest() { return Frame(1, 1, 0x00, 4, {}); }
inline Bytes EndFrame() { return Frame(1, 0, 0x82, 0, {}); }
inline Bytes CrcRequest() { return Frame(1, 1, 0x82, 3, {}); }
inline Bytes ImageInfoFrame(std::span<const std::uint8_t> info16) { return Frame(1, 0, 0x80, 16, info16); }
inline Bytes DataFrame(std::uint16_t address, std::span<const std::uint8_t> data) {
  Bytes payload{static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(address >> 8)};
  payload.insert(payload.end(), data.begin(), data.end());
  return Frame(2, 0, 0x81, static_cast<std::uint16_t>(payload.size()), payload);
}

// The frames of one update as the programmer sends them: image info, blocks
// of 4032 bytes at addresses 63 * k with the (maybe empty) last block, end.
struct Update {
  Bytes payload;
  Bytes imageInfo;
  std::vector<Bytes> blocks;  // data frames
};

inline Update MakeUpdate(std::uint32_t payloadBytes, Version version, std::uint64_t seed = 7) {
  Update u;
  u.payload = MakePayload(payloadBytes, seed);
  const auto info = EncodeImageInfo(ImageInfoFor(u.payload, version));
  u.imageInfo.assign(info.begin(), info.end());
  const std::uint32_t count = payloadBytes / 4032 + 1;
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t offset = 4032 * k;
    const std::uint32_t length = k + 1 < count ? 4032 : payloadBytes - offset;
    u.blocks.push_back(DataFrame(static_cast<std::uint16_t>(63 * k),
                                 std::span<const std::uint8_t>(u.payload.data() + offset, length)));
  }
  return u;
}

// Sends a frame that must not be answered; fails the test if it is.
inline void Send(Bootloader& device, const Bytes& frame) {
  auto answer = device.HandleOutputReport(frame);
  EXPECT_FALSE(answer.has_value()) << "unexpected answer to command 0x" << std::hex << int(frame[4]);
}

inline void SendUpdate(Bootloader& device, const Update& u, bool withEnd = true) {
  Send(device, ImageInfoFrame(u.imageInfo));
  for (const auto& block : u.blocks) Send(device, block);
  if (withEnd) Send(device, EndFrame());
}

// The verdict byte of the answer to a CRC check request; -1 when unanswered.
inline int AskVerdict(Bootloader& device) {
  auto answer = device.HandleOutputReport(CrcRequest());
  return answer ? (*answer)[7] : -1;
}

}  // namespace korrin::sim::testing
