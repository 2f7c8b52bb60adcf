// Finding, attaching and forgetting the device: the scan, the polling timer,
// the removal broadcast and the device combo's selection, plus the
// process-wide state they share with the rest of the program.
//
// At most one device is attached and at most one transfer runs at any time:
// - while a device is attached, a scan (from the combo selection, or the
//   announcement's rescan) attaches nothing, lists nothing, sends nothing on
//   the channel and leaves the combo showing the attached device;
// - a device with several matching interfaces is attached once, by the first
//   one enumerated;
// - enumeration gives path and identity without opening, so a scan opens only
//   the interface it attaches, and keeps no handle of any other; an interface
//   whose path or identity cannot be read, or that does not open, is passed
//   over;
// - the window registers for removal broadcasts once, at its first attach;
// - the removal takes the handle away from the channel before closing it, so
//   a worker still writing fails at its next block and a late completion
//   finds no device;
// - the next device is attached only once that worker has ended and its
//   failure has been handled, so that no message of the old transfer is
//   taken for the new one.
// Everything here runs on the user-interface thread; the transfer worker only
// ever sees g_Comm.m_hDevice.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/hid/hid.h"
#include "platform/threads.h"
#include "platform/window/window.h"
#include "programming/transfer.h"
#include "protocol/protocol.h"
#include "ui/Korrin_HIDDlg.h"

bool g_bAttached = false;
bool g_bUpdateDone = false;
korrin::hid::Handle g_hDevice = 0;
int g_nDeviceIndex = 0;
std::string g_strDevicePath;
std::string g_strStatus;
std::unique_ptr<korrin::platform::WorkerThread> g_pProgramThread;
std::uint8_t g_HidGuid[16] = {};

namespace {

using korrin::hid::Attributes;
using korrin::hid::Handle;
using korrin::hid::kInvalidHandle;

// The HID interface class, laid out as the broadcast record carries a class
// id (first three fields little-endian).
constexpr std::uint8_t kHidInterfaceClass[16] = {0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11,
                                                 0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};

constexpr const char* kOurVendor = "0x16D0";
constexpr UINT kScanPeriodMs = 100;

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%.4X", static_cast<unsigned>(value));
  return text;
}

std::string IdentificationLine(const Attributes& attributes) {
  return "VendorID:" + Hex4(attributes.vendorId) + "; ProductID:" + Hex4(attributes.productId) +
         "; Version: " + Hex4(attributes.versionNumber);
}

// Paths are byte strings (UTF-8 on Linux): folding ASCII letters only keeps
// every multi-byte sequence intact, since none of its bytes is below 0x80.
bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// One registration per window for the whole run: the removal of every device
// attached to that window is seen from its first attach on, and registrations
// do not pile up with every attach.
struct Registration {
  HWND window = kNoWindow;
  HDEVNOTIFY handle = 0;
};
Registration& CurrentRegistration() {
  static Registration registration;
  return registration;
}

// The worker of the previous transfer has ended and its last message, the
// completion or the failure (both set g_bUpdateDone), has been handled.
bool PreviousTransferSettled() {
  if (!g_pProgramThread) return true;
  return g_pProgramThread->Finished() && g_bUpdateDone;
}

}  // namespace

HDEVNOTIFY CKorrin_HIDDlg::RegisterForDeviceNotification() {
  Registration& registration = CurrentRegistration();
  HWND window = GetSafeHwnd();
  if (registration.handle != 0 && registration.window == window) return registration.handle;
  // A window from an earlier run of the dialog in this process is gone.
  if (registration.handle != 0) UnregisterDeviceNotification(registration.handle);
  registration.window = window;
  registration.handle = RegisterDeviceNotification(window);
  return registration.handle;
}

bool CKorrin_HIDDlg::ScanDevices() {
  std::memcpy(g_HidGuid, kHidInterfaceClass, sizeof g_HidGuid);
  korrin::hid::HidSystem& hid = korrin::hid::System();
  const std::vector<korrin::hid::InterfaceRecord> interfaces = hid.EnumerateInterfaces();

  // While a device is attached the combo shows it, selected, and the scan
  // attaches nothing: clearing the selected text (or restarting the row
  // index) would blank the attached device's line on a mere combo selection.
  if (!g_bAttached) {
    m_DeviceCombo.Clear();
    g_nDeviceIndex = 0;
  }

  for (const korrin::hid::InterfaceRecord& record : interfaces) {
    // Enumeration gives path and identity without opening anything, so only
    // the interface that is about to be attached is ever opened.
    if (!record.path || !record.attributes) continue;
    const std::string line = IdentificationLine(*record.attributes);
    // The vendor alone decides; product and version may be anything.
    if (Hex4(record.attributes->vendorId) != kOurVendor) continue;
    // One device and one transfer at a time: while a device is attached,
    // another matching interface (or the attached one, found again by a
    // rescan) is left alone entirely.
    if (g_bAttached) continue;
    // Not yet, either, while the last device's transfer has not been closed
    // out: its worker's last message (the failure, once a removal cut it
    // short) is still to come, and would be taken for the new transfer's.
    // The next tick tries again.
    if (!PreviousTransferSettled()) continue;

    const Handle handle = hid.Open(*record.path);
    if (handle == kInvalidHandle) continue;
    g_hDevice = handle;

    AppendLog(kStarLine);
    AppendLog("The device has been attached.");
    AppendLog("Vantorel Systems product detected");
    g_strDevicePath = *record.path;
    (void)RegisterForDeviceNotification();
    UpdateData(FALSE);
    (void)m_DeviceCombo.AddString(line);
    (void)m_DeviceCombo.SetCurSel(g_nDeviceIndex);
    UpdateData(TRUE);
    g_nDeviceIndex += 1;

    // The earlier device's worker has ended (see above); its thread is
    // joined before the channel gets the new device.
    if (g_pProgramThread) {
      g_pProgramThread->Join();
      g_pProgramThread.reset();
    }
    g_Comm.m_hDevice = handle;
    g_bAttached = true;
    KillTimer(ID_SCAN_TIMER);

    // A request that cannot be written leaves the channel's texts as they
    // were, the previous device's: this device's lines then show no version
    // rather than another device's.
    g_Comm.m_strBootloaderVersion.clear();
    g_Comm.m_strFirmwareVersion.clear();
    (void)g_Comm.ReadInfo(korrin::protocol::kCmdReadInfo, korrin::protocol::kReadInfoValue);
    g_strStatus = "Bootloader Version: " + g_Comm.m_strBootloaderVersion;
    AppendLog(g_strStatus);
    g_strStatus = "Firmware Version: " + g_Comm.m_strFirmwareVersion;
    AppendLog(g_strStatus);

    g_bUpdateDone = false;
    m_Progress.EnableWindow(TRUE);
    (void)AnnounceImage();
    // Without a thread there is no transfer: the device stays attached and
    // idle until it is pulled out.
    (void)StartTransfer(*this);
  }
  return g_bAttached;
}

void CKorrin_HIDDlg::OnTimer(UINT_PTR nIDEvent) {
  // A tick already queued when the attach stopped the timer arrives here too.
  if (nIDEvent == ID_SCAN_TIMER && !g_bAttached) (void)ScanDevices();
  Default(WM_TIMER, nIDEvent, 0);
}

BOOL CKorrin_HIDDlg::IsAttachedDevice(LPARAM record) {
  if (record == 0) return FALSE;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(record);
  // The record says how long it is; nothing beyond that is read.
  std::uint32_t size = 0;
  std::memcpy(&size, bytes, sizeof size);
  const BroadcastView view = ReadBroadcast(bytes, size);
  if (view.deviceType != DBT_DEVTYP_DEVICEINTERFACE || !view.path) return FALSE;
  return EqualIgnoringCase(*view.path, g_strDevicePath) ? TRUE : FALSE;
}

LRESULT CKorrin_HIDDlg::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
  // Arrivals are found by polling only.
  if (wParam != DBT_DEVICEREMOVECOMPLETE) return TRUE;
  if (!IsAttachedDevice(lParam)) return TRUE;
  if (!g_bAttached) return TRUE;

  AppendLog("The device has been removed.");
  AppendLog(kStarLine);
  UpdateData(TRUE);
  m_DeviceCombo.Clear();
  m_DeviceCombo.ResetContent();
  m_strDevice.clear();
  // The channel lets go of the handle before it is closed, so a worker still
  // writing fails at its next block and a late completion finds no device,
  // instead of either reaching a closed (or, later, someone else's) handle.
  const Handle attached = g_Comm.m_hDevice.exchange(kInvalidHandle);
  if (attached != kInvalidHandle) (void)korrin::hid::System().CloseHandle(attached);
  g_hDevice = kInvalidHandle;
  UpdateData(FALSE);
  g_bAttached = false;
  (void)SetTimer(ID_SCAN_TIMER, kScanPeriodMs);
  return TRUE;
}

void CKorrin_HIDDlg::OnSelchangeDeviceCombo() {
  UpdateData(TRUE);
  UpdateData(FALSE);
  // With a device attached this scan attaches nothing and starts nothing.
  (void)ScanDevices();
}
