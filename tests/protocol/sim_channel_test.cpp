// HID_COMM against the simulated bootloader on the simulated bus: the device
// keeps its own copy of the frame layout, so these tests catch a mistake that
// the channel's own tables would share.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "platform/hid/sim_backend.h"
#include "protocol/protocol.h"
#include "sim/bootloader.h"
#include "sim/virtual_clock.h"

namespace korrin::protocol {
namespace {

constexpr std::size_t kBlockSize = 4032;

class SimChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = hid::sim::SimBus::Create();
    hid::InstallSystem(bus_);
    platform::InstallClock(clock_);
    sim::DeviceConfig config;
    config.bootloader.bootloader = {2, 0};
    config.bootloader.firmware = {1, 10};
    device_ = std::make_shared<sim::Device>(config);
    ASSERT_TRUE(bus_->Plug(device_));
    std::string error;
    comm_.m_hDevice = hid::System().Open(device_->path(), &error);
    ASSERT_NE(comm_.m_hDevice.load(), hid::kInvalidHandle) << error;

    payload_.resize(kBlockSize + 100);
    for (std::size_t i = 0; i < payload_.size(); ++i) payload_[i] = static_cast<std::uint8_t>(i * 13 + 5);
    info_ = sim::EncodeImageInfo(
        {static_cast<std::uint32_t>(payload_.size()), sim::Crc32(payload_), /*minor*/ 11, /*major*/ 1});
  }
  void TearDown() override {
    hid::InstallSystem(hid::MakeNullBackend());
    platform::InstallClock(nullptr);
  }

  // Announces the image and sends it in blocks of 4032 at addresses 0, 63.
  void SendImage() {
    ASSERT_TRUE(comm_.WriteImageInfo(info_.data()));
    for (std::size_t offset = 0, k = 0; offset < payload_.size(); offset += kBlockSize, ++k) {
      const auto length = static_cast<std::uint32_t>(std::min(kBlockSize, payload_.size() - offset));
      ASSERT_TRUE(comm_.WriteBlock(kCmdDataBlock, length, static_cast<std::uint32_t>(63 * k), payload_.data() + offset));
    }
  }

  std::shared_ptr<hid::sim::SimBus> bus_;
  std::shared_ptr<sim::VirtualClock> clock_ = std::make_shared<sim::VirtualClock>();
  std::shared_ptr<sim::Device> device_;
  HID_COMM comm_;
  std::vector<std::uint8_t> payload_;
  std::array<std::uint8_t, sim::kImageInfoSize> info_{};
};

TEST_F(SimChannel, WholeUpdateIsAcceptedAndVerified) {
  ASSERT_TRUE(comm_.ReadInfo(kCmdReadInfo, kReadInfoValue));
  EXPECT_EQ(comm_.m_strBootloaderVersion, "2.0");
  EXPECT_EQ(comm_.m_strFirmwareVersion, "1.10");

  SendImage();
  ASSERT_TRUE(comm_.SendFinish());
  EXPECT_TRUE(comm_.QueryCrc());
  ASSERT_TRUE(comm_.ReadInfo(kCmdReadInfo, kReadInfoValue));
  EXPECT_EQ(comm_.m_strFirmwareVersion, "1.11");

  const auto& device = device_->bootloader();
  EXPECT_TRUE(device.ProtocolErrorTexts().empty()) << ::testing::PrintToString(device.ProtocolErrorTexts());
  EXPECT_EQ(device.Payload(), payload_);
  EXPECT_EQ(device.ReportsReceived(), 7u);  // read, info, 2 blocks, end, CRC, read
  // The answers came at once; only the protocol's own pauses passed.
  EXPECT_EQ(clock_->Elapsed(), std::chrono::milliseconds(10 + 100 + 10));
}

// One byte of a well-built data frame changed on the wire: the device must
// refuse that frame, and the channel must pass on the failed verdict.
struct Corruption {
  const char* name;
  std::size_t offset;  // in a data frame of 4032 bytes
};

class SimChannelCorrupted : public SimChannel, public ::testing::WithParamInterface<Corruption> {};

TEST_P(SimChannelCorrupted, DeviceRefusesFrameAndVerdictFails) {
  ASSERT_TRUE(comm_.WriteImageInfo(info_.data()));
  std::array<std::uint8_t, kReportSize> frame;
  ASSERT_TRUE(BuildDataFrame(frame, kCmdDataBlock, kBlockSize, 0, payload_.data()));
  frame[GetParam().offset] ^= 0x01;
  ASSERT_TRUE(hid::System().WriteReport(comm_.m_hDevice.load(), frame));
  ASSERT_TRUE(comm_.WriteBlock(kCmdDataBlock, 100, 63, payload_.data() + kBlockSize));
  ASSERT_TRUE(comm_.SendFinish());

  EXPECT_FALSE(comm_.QueryCrc());
  const auto errors = device_->bootloader().ProtocolErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].report, 2u) << errors[0].Describe();
  EXPECT_EQ(device_->bootloader().DataFramesSeen().size(), 1u) << "only the intact block is taken";
}

INSTANTIATE_TEST_SUITE_P(Sim, SimChannelCorrupted,
                         ::testing::Values(Corruption{"SyncByte", 1}, Corruption{"DataByte", 9 + 17},
                                           Corruption{"Checksum", 9 + kBlockSize},
                                           Corruption{"EndMarker", 10 + kBlockSize},
                                           Corruption{"ByteAfterEndMarker", 11 + kBlockSize}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korrin::protocol
