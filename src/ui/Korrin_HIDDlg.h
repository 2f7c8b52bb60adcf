// The main window and the program's process-wide state. The handlers are
// members of CKorrin_HIDDlg but live with their subsystems:
//   ui/Korrin_HIDDlg.cpp         construction, data exchange, OnInitDialog, AppendLog,
//                                OnSysCommand, OnPaint, OnQueryDragIcon, OnClose, OnOK,
//                                OnAboutButton, the message map (WindowProc)
//   image/Browse.cpp             OnBrowse
//   programming/Transfer.cpp     AnnounceImage, ProgramThreadProc, OnUpdateProgress,
//                                OnTransferFailed
//   discovery/Discovery.cpp      ScanDevices, RegisterForDeviceNotification, OnTimer,
//                                OnDeviceChange, IsAttachedDevice, OnSelchangeDeviceCombo
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/hid/hid.h"
#include "platform/threads.h"
#include "platform/window/window.h"
#include "ui/resource.h"

using namespace korrin::window;  // the program's code speaks the window layer's names

// Posted by the transfer worker: wParam the percentage, lParam
// kProgressWritten, or kProgressFailedBlock for the percentage of a block
// whose write failed (it moves the bar and never completes the update).
inline constexpr UINT WM_UPDATE_PROGRESS = WM_APP + 0x100;
inline constexpr LPARAM kProgressWritten = 0;
inline constexpr LPARAM kProgressFailedBlock = 1;
// Posted (wParam 0) when a worker is started, ahead of all it posts: what an
// earlier worker posted before it is stale and is not taken for this one.
inline constexpr LPARAM kTransferStarting = 2;
// Posted by the worker after the failing block's percentage when a transfer
// fails (the image did not open or a block write failed).
inline constexpr UINT WM_TRANSFER_FAILED = WM_APP + 0x101;

inline constexpr const char* kDefaultImageName = "140806a_Tamsk_v1_0_enc.bin";
inline constexpr const char* kStarLine = "**********************************************";

class CKorrin_HIDDlg : public CDialog {
 public:
  explicit CKorrin_HIDDlg(CDialog* pParent = nullptr);
  ~CKorrin_HIDDlg() override;

  // Bound members, in declaration order.
  CButton m_BrowseButton;
  CComboBox m_DeviceCombo;
  CListBox m_LogList;
  std::string m_strDevice;
  std::string m_strImagePath;
  std::string m_strImageVersion;
  CProgressCtrl m_Progress;
  HICON m_hIcon = nullptr;

  void AppendLog(std::string line);

  // Handlers (see the file list above).
  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;
  void OnOK() override;
  void OnSysCommand(UINT nID, LPARAM lParam) override;
  void OnPaint() override;
  HICON OnQueryDragIcon();
  void OnClose();
  void OnAboutButton();
  void OnBrowse();
  int AnnounceImage();
  LRESULT OnUpdateProgress(WPARAM wParam, LPARAM lParam);
  LRESULT OnTransferFailed(WPARAM wParam, LPARAM lParam);
  bool ScanDevices();
  HDEVNOTIFY RegisterForDeviceNotification();
  void OnTimer(UINT_PTR nIDEvent);
  LRESULT OnDeviceChange(WPARAM wParam, LPARAM lParam);
  BOOL IsAttachedDevice(LPARAM record);
  void OnSelchangeDeviceCombo();

  // Stops a running transfer at its next block and waits for it; the
  // destructor calls it so that no worker outlives the window or g_Comm.
  void StopTransfer();

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  static const DialogTemplate& Template();
};

// The transfer worker. pParam is the dialog.
korrin::window::UINT ProgramThreadProc(void* pParam);

// Process-wide state (defined in discovery/Discovery.cpp).
extern bool g_bAttached;
extern bool g_bUpdateDone;
extern korrin::hid::Handle g_hDevice;
extern int g_nDeviceIndex;
extern std::string g_strDevicePath;
extern std::string g_strStatus;
extern std::unique_ptr<korrin::platform::WorkerThread> g_pProgramThread;
extern std::uint8_t g_HidGuid[16];
