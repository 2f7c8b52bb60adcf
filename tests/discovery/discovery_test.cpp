// Finding and attaching devices: the scan over what the bus presents, the
// identification line, the attach sequence and what a scan leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "harness.h"

namespace korrin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class ScanTest : public DiscoveryHarness {};

TEST_F(ScanTest, NothingPresentClearsTheComboSelectionAndLogsNothing) {
  // Text in the combo's edit field with part of it selected: the scan's
  // WM_CLEAR deletes the selected part only.
  Combo()->OperatorEdited("abcdef", {2, 4});
  g_nDeviceIndex = 7;

  EXPECT_FALSE(dialog_->ScanDevices());

  EXPECT_EQ(ComboText(), "abef");
  EXPECT_EQ(g_nDeviceIndex, 0);
  EXPECT_THAT(Log(), IsEmpty());
  EXPECT_FALSE(g_bAttached);
  EXPECT_TRUE(dialog_->IsTimerRunning(ID_SCAN_TIMER));
  EXPECT_EQ(OpenHandles(), 0u);
}

struct VendorCase {
  const char* name;
  std::uint16_t vendorId;
  std::uint16_t productId;
  std::uint16_t versionNumber;
  bool matches;
};
void PrintTo(const VendorCase& c, std::ostream* out) { *out << c.name; }

class VendorMatchTest : public DiscoveryHarness, public ::testing::WithParamInterface<VendorCase> {};

TEST_P(VendorMatchTest, OnlyTheVendorDecides) {
  const VendorCase& c = GetParam();
  SimDeviceSpec params;
  params.vendorId = c.vendorId;
  params.productId = c.productId;
  params.versionNumber = c.versionNumber;
  auto device = Plug(params);

  Tick();

  EXPECT_EQ(g_bAttached, c.matches);
  EXPECT_EQ(g_nDeviceIndex, c.matches ? 1 : 0);
  EXPECT_EQ(Log().size(), c.matches ? 5u : 0u);
  EXPECT_EQ(OpenHandles(), c.matches ? 1u : 0u);
  // A device that is not ours is never even opened.
  EXPECT_EQ(bus_->counters().opens, c.matches ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Vendors, VendorMatchTest,
    ::testing::Values(VendorCase{"OursProductZero", 0x16D0, 0x0000, 0x0000, true},
                      VendorCase{"OursProductAB", 0x16D0, 0x00AB, 0x0001, true},
                      VendorCase{"OursAllOnes", 0x16D0, 0xFFFF, 0xFFFF, true},
                      VendorCase{"NextVendor", 0x16D1, 0x00AB, 0x0001, false},
                      VendorCase{"PreviousVendor", 0x16CF, 0x00AB, 0x0001, false},
                      VendorCase{"BytesSwapped", 0xD016, 0x00AB, 0x0001, false},
                      VendorCase{"OneNibbleOff", 0x06D0, 0x00AB, 0x0001, false},
                      VendorCase{"VendorZero", 0x0000, 0x16D0, 0x16D0, false},
                      VendorCase{"VendorAllOnes", 0xFFFF, 0x00AB, 0x0001, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct IdentificationCase {
  const char* name;
  std::uint16_t productId;
  std::uint16_t versionNumber;
  const char* line;
};
void PrintTo(const IdentificationCase& c, std::ostream* out) { *out << c.name; }

class IdentificationLineTest : public DiscoveryHarness, public ::testing::WithParamInterface<IdentificationCase> {};

TEST_P(IdentificationLineTest, ShowsFourUpperCaseDigitsPerField) {
  const IdentificationCase& c = GetParam();
  SimDeviceSpec params;
  params.productId = c.productId;
  params.versionNumber = c.versionNumber;
  Plug(params);

  Tick();

  ASSERT_EQ(dialog_->m_DeviceCombo.GetCount(), 1);
  EXPECT_EQ(dialog_->m_DeviceCombo.GetLBText(0), c.line);
  EXPECT_EQ(dialog_->m_DeviceCombo.GetCurSel(), 0);
  EXPECT_EQ(ComboText(), c.line);
  EXPECT_EQ(dialog_->m_strDevice, c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IdentificationLineTest,
    ::testing::Values(IdentificationCase{"Typical", 0x00AB, 0x0001, "VendorID:0x16D0; ProductID:0x00AB; Version: 0x0001"},
                      IdentificationCase{"Zeros", 0x0000, 0x0000, "VendorID:0x16D0; ProductID:0x0000; Version: 0x0000"},
                      IdentificationCase{"HexLetters", 0xBEEF, 0x0A0C, "VendorID:0x16D0; ProductID:0xBEEF; Version: 0x0A0C"},
                      IdentificationCase{"AllOnes", 0xFFFF, 0xFFFF, "VendorID:0x16D0; ProductID:0xFFFF; Version: 0xFFFF"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScanTest, AttachLogsFiveLinesAndHandsTheDeviceToTheChannel) {
  SimDeviceSpec params;
  params.productId = 0x00AB;
  params.versionNumber = 0x0001;
  params.bootloader = {2, 7};
  params.firmware = {1, 3};
  params.interfaces = {At("/dev/Sim-HidRaw4")};
  auto device = Plug(params);

  Tick();

  // Right after the attach: the announcement and the worker's start add no
  // line (nothing posted has been handled yet).
  EXPECT_THAT(Log(), ElementsAre(kStarLine, "The device has been attached.", "Vantorel Systems product detected",
                                 "Bootloader Version: 2.7", "Firmware Version: 1.3"));
  EXPECT_TRUE(g_bAttached);
  EXPECT_FALSE(g_bUpdateDone);
  EXPECT_EQ(g_nDeviceIndex, 1);
  EXPECT_EQ(g_strDevicePath, "/dev/Sim-HidRaw4");  // exactly as enumerated, letter case kept
  const hid::Handle handle = g_Comm.m_hDevice;
  EXPECT_TRUE(hid::System().IsOpen(handle));
  EXPECT_EQ(g_hDevice, handle);
  EXPECT_EQ(dialog_->m_strDevice, "VendorID:0x16D0; ProductID:0x00AB; Version: 0x0001");
  EXPECT_FALSE(dialog_->IsTimerRunning(ID_SCAN_TIMER));
  EXPECT_TRUE(dialog_->m_Progress.IsWindowEnabled());
  EXPECT_NE(g_pProgramThread, nullptr);
  // The image was announced at the attach, before any data block.
  EXPECT_TRUE(device->bootloader().Update().started);

  ASSERT_TRUE(WaitForCompletion());
  EXPECT_THAT(device->bootloader().Verdicts(), ElementsAre(true));
}

// What the bus presents, and which interface the scan must attach.
struct BusCase {
  const char* name;
  std::vector<SimDeviceSpec> devices;
  std::optional<std::string> attachedPath;
  std::size_t opens;        // successful opens the scan may make
  std::size_t failedOpens;  // opens it tried that were refused
};
void PrintTo(const BusCase& c, std::ostream* out) { *out << c.name; }

SimDeviceSpec Ours(std::vector<sim::InterfaceSpec> interfaces) {
  SimDeviceSpec params;
  params.interfaces = std::move(interfaces);
  return params;
}
SimDeviceSpec Foreign(std::vector<sim::InterfaceSpec> interfaces) {
  SimDeviceSpec params = Ours(std::move(interfaces));
  params.vendorId = 0x0ABC;
  return params;
}
class BusScanTest : public DiscoveryHarness, public ::testing::WithParamInterface<BusCase> {};

TEST_P(BusScanTest, AttachesTheFirstUsableMatchOnlyAndKeepsNoOtherHandle) {
  const BusCase& c = GetParam();
  for (const SimDeviceSpec& params : c.devices) Plug(params);

  Tick();

  EXPECT_EQ(bus_->counters().opens, c.opens);
  EXPECT_EQ(bus_->counters().failedOpens, c.failedOpens);
  if (c.attachedPath) {
    EXPECT_TRUE(g_bAttached);
    EXPECT_EQ(g_strDevicePath, *c.attachedPath);
    EXPECT_EQ(g_nDeviceIndex, 1);
    EXPECT_EQ(dialog_->m_DeviceCombo.GetCount(), 1);
    EXPECT_EQ(LogCount("The device has been attached."), 1);
    EXPECT_EQ(OpenHandles(), 1u);
  } else {
    EXPECT_FALSE(g_bAttached);
    EXPECT_EQ(g_nDeviceIndex, 0);
    EXPECT_THAT(Log(), IsEmpty());
    EXPECT_EQ(OpenHandles(), 0u);
  }
  EXPECT_EQ(bus_->counters().openNow(), OpenHandles());
}

INSTANTIATE_TEST_SUITE_P(
    Buses, BusScanTest,
    ::testing::Values(
        BusCase{"ForeignOnly", {Foreign({At("/dev/f0")}), Foreign({At("/dev/f1")})}, std::nullopt, 0, 0},
        BusCase{"ForeignThenOurs", {Foreign({At("/dev/f0")}), Ours({At("/dev/a")})}, "/dev/a", 1, 0},
        // An interface that fails to open, right after the attached one,
        // neither matches nor borrows anything of the one before it.
        BusCase{"OursThenRefusingOurs", {Ours({At("/dev/a")}), Ours({Refusing("/dev/b")})}, "/dev/a", 1, 0},
        BusCase{"RefusingOursThenOurs", {Ours({Refusing("/dev/a")}), Ours({At("/dev/b")})}, "/dev/b", 1, 1},
        BusCase{"OnlyRefusingOurs", {Ours({Refusing("/dev/a")})}, std::nullopt, 0, 1},
        BusCase{"PathUnreadableThenOurs", {Ours({NoPath("/dev/a")}), Ours({At("/dev/b")})}, "/dev/b", 1, 0},
        BusCase{"AttributesUnreadableThenOurs", {Ours({NoAttributes("/dev/a")}), Ours({At("/dev/b")})}, "/dev/b", 1,
                0},
        // One device, several matching interfaces: attached once, by its first.
        BusCase{"SeveralInterfacesOfOneDevice", {Ours({At("/dev/a0"), At("/dev/a1"), At("/dev/a2")})}, "/dev/a0", 1, 0},
        BusCase{"TwoDevicesOfOurs", {Ours({At("/dev/a")}), Ours({At("/dev/b")})}, "/dev/a", 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScanTest, AThousandScansKeepNoHandleOfWhatTheyPassOver) {
  Plug(Foreign({At("/dev/foreign")}));
  Plug(Ours({Refusing("/dev/refusing")}));
  Plug(Ours({NoPath("/dev/no-path")}));
  Plug(Ours({NoAttributes("/dev/no-attributes")}));

  for (int i = 0; i < 1000; ++i) (void)dialog_->ScanDevices();
  EXPECT_EQ(OpenHandles(), 0u);
  EXPECT_EQ(bus_->counters().openNow(), 0u);
  EXPECT_EQ(bus_->counters().failedOpens, 1000u);  // the refusing one was tried each time
  EXPECT_THAT(Log(), IsEmpty());

  Plug(Ours({At("/dev/good")}));
  ASSERT_TRUE(dialog_->ScanDevices());
  for (int i = 0; i < 1000; ++i) (void)dialog_->ScanDevices();
  EXPECT_EQ(OpenHandles(), 1u);
  EXPECT_EQ(bus_->counters().opens, 1u);
  EXPECT_EQ(bus_->counters().openNow(), 1u);
  EXPECT_EQ(LogCount("The device has been attached."), 1);
}

}  // namespace
}  // namespace korrin::testing
