// The command channel against the simulated device, through the HID layer:
// the two ends agree on every byte, and the channel's waits meet the
// device's link faults on the virtual clock, in no real time.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "frames.h"
#include "platform/clock.h"
#include "platform/hid/hid.h"
#include "platform/hid/sim_backend.h"
#include "protocol/protocol.h"
#include "sim/bootloader.h"
#include "sim/virtual_clock.h"

namespace korrin {
namespace {

using std::chrono::milliseconds;

class ChannelWithDevice : public ::testing::Test {
 protected:
  void Start(sim::DeviceConfig config) {
    clock_ = std::make_shared<sim::VirtualClock>();
    platform::InstallClock(clock_);
    bus_ = hid::sim::SimBus::Create();
    device_ = std::make_shared<sim::Device>(std::move(config));
    ASSERT_TRUE(bus_->Plug(device_));
    hid::InstallSystem(bus_);
    std::string error;
    channel_.m_hDevice = hid::System().Open(device_->path(), &error);
    ASSERT_NE(channel_.m_hDevice.load(), hid::kInvalidHandle) << error;
  }
  void TearDown() override {
    hid::InstallSystem(hid::MakeNullBackend());
    platform::InstallClock(nullptr);
  }
  // Image info, every block, end: as the transfer sends them.
  void Transfer(const sim::testing::Update& u) {
    ASSERT_TRUE(channel_.WriteImageInfo(u.imageInfo.data()));
    const std::uint32_t count = static_cast<std::uint32_t>(u.payload.size() / 4032 + 1);
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint32_t offset = 4032 * k;
      const std::uint32_t length = k + 1 < count ? 4032 : static_cast<std::uint32_t>(u.payload.size()) - offset;
      ASSERT_TRUE(channel_.WriteBlock(0x81, length, 63 * k, u.payload.data() + offset)) << "block " << k;
    }
    ASSERT_TRUE(channel_.SendFinish());
  }
  std::vector<milliseconds> Pauses() const { return clock_->Pauses(); }

  HID_COMM channel_;
  std::shared_ptr<sim::VirtualClock> clock_;
  std::shared_ptr<hid::sim::SimBus> bus_;
  std::shared_ptr<sim::Device> device_;
};

sim::DeviceConfig WithFaults(sim::LinkFaults faults, bool silent = false) {
  sim::DeviceConfig config;
  config.bootloader.firmware = sim::Version{1, 10};
  config.bootloader.silent = silent;
  config.faults = faults;
  return config;
}

TEST_F(ChannelWithDevice, AWholeUpdateIsAcceptedByTheDevice) {
  Start(WithFaults({}));
  ASSERT_TRUE(channel_.ReadInfo(0x00, 4));
  EXPECT_EQ(channel_.m_strBootloaderVersion, "2.0");
  EXPECT_EQ(channel_.m_strFirmwareVersion, "1.10");
  const auto u = sim::testing::MakeUpdate(3 * 4032, sim::Version{2, 5});
  Transfer(u);
  EXPECT_TRUE(channel_.QueryCrc());
  ASSERT_TRUE(channel_.ReadInfo(0x00, 4));
  EXPECT_EQ(channel_.m_strFirmwareVersion, "2.5");
  EXPECT_TRUE(device_->bootloader().ProtocolErrors().empty());
  EXPECT_EQ(device_->bootloader().Payload(), u.payload);
  EXPECT_EQ(device_->bootloader().DataFramesSeen().back(), (sim::DataFrameSeen{189, 0}));
}

TEST_F(ChannelWithDevice, SilentDeviceCostsTheFullWaitsOnTheClockOnly) {
  Start(WithFaults({}, /*silent=*/true));
  ASSERT_TRUE(channel_.ReadInfo(0x00, 4));
  EXPECT_EQ(channel_.m_strFirmwareVersion, "0.0");
  EXPECT_EQ(Pauses(), std::vector<milliseconds>(100, milliseconds(10)));
  Transfer(sim::testing::MakeUpdate(5000, sim::Version{2, 5}));
  EXPECT_FALSE(channel_.QueryCrc());
  // 1 s of version polling and 5 s of CRC polling, none of it real.
  EXPECT_EQ(clock_->Elapsed(), milliseconds(6000));
}

TEST_F(ChannelWithDevice, AnswerAfterFailedReadsIsStillTaken) {
  sim::LinkFaults faults;
  faults.failedReadsBeforeAnswer = 3;
  Start(WithFaults(faults));
  ASSERT_TRUE(channel_.ReadInfo(0x00, 4));
  EXPECT_EQ(channel_.m_strFirmwareVersion, "1.10");
  EXPECT_EQ(Pauses(), std::vector<milliseconds>(4, milliseconds(10)));
}

TEST_F(ChannelWithDevice, LateVerdictArrivesOnALaterAttempt) {
  sim::LinkFaults faults;
  faults.answerDelay = milliseconds(250);
  Start(WithFaults(faults));
  Transfer(sim::testing::MakeUpdate(5000, sim::Version{2, 5}));
  EXPECT_TRUE(channel_.QueryCrc());
  // pause, read times out after its bound, pause, answer ready.
  EXPECT_EQ(Pauses(), (std::vector<milliseconds>{milliseconds(100), milliseconds(100), milliseconds(100)}));
}

TEST_F(ChannelWithDevice, DeviceRemovedMidTransferFailsTheNextBlock) {
  sim::LinkFaults faults;
  faults.removeBeforeDataFrame = 2;
  Start(WithFaults(faults));
  const auto u = sim::testing::MakeUpdate(10000, sim::Version{2, 5});
  ASSERT_TRUE(channel_.WriteImageInfo(u.imageInfo.data()));
  EXPECT_TRUE(channel_.WriteBlock(0x81, 4032, 0, u.payload.data()));
  EXPECT_FALSE(channel_.WriteBlock(0x81, 4032, 63, u.payload.data() + 4032));
  EXPECT_FALSE(channel_.SendFinish());
  EXPECT_FALSE(channel_.QueryCrc());
  EXPECT_TRUE(Pauses().empty()) << "a failed write is not followed by reads";
}

}  // namespace
}  // namespace korrin
