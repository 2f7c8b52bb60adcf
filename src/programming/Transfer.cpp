// One transfer: the image info to the device, the payload from a worker
// thread in addressed blocks, and the end of the update on the window.
#include <mutex>
#include <optional>
#include <string>

#include "image/image.h"
#include "platform/threads.h"
#include "programming/transfer.h"
#include "protocol/protocol.h"
#include "ui/Korrin_HIDDlg.h"

namespace {

// What a worker needs from the user-interface thread, taken there when the
// worker is started; the worker takes it once at its start. A worker started
// without StartTransfer reads both itself, the path under the same lock.
struct WorkerStart {
  HWND window = kNoWindow;
  std::string path;
};
std::mutex pendingMutex;
std::optional<WorkerStart> pendingStart;

// Workers started for `window` whose start marker has not been handled yet
// (user-interface thread only). While there are any, every message from a
// worker is from an earlier one, one that failed or was stopped while its
// messages were still queued; such a message must not end the transfer that
// follows it. Window handles are never reused, so markers lost with a window
// that is gone count for nothing.
struct StartMarkers {
  HWND window = kNoWindow;
  int queued = 0;
};
StartMarkers startMarkers;

bool FromEarlierWorker(HWND window) { return startMarkers.window == window && startMarkers.queued > 0; }

}  // namespace

void SetTransferImagePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(pendingMutex);
  g_Comm.m_strFilePath = path;
}

int CKorrin_HIDDlg::AnnounceImage() {
  for (int rescans = 0;; ++rescans) {
    auto image = korrin::image::LoadedImage::Load(m_strImagePath);
    if (!image) return rescans == 0 ? -1 : 0;
    const bool announced = g_Comm.WriteImageInfo(image->ImageInfo());
    image.reset();  // released before the rescan, and only once
    // Bounded: with no device answering, rescanning would go on for ever.
    // Once the rescans are used up the attach goes on and the transfer meets
    // the same device (and, if it is gone, fails at its first block).
    if (announced || rescans == kAnnounceRescans) return 0;
    // The device is still attached here: the scan passes over it rather than
    // attaching it again, so no second transfer can start from here.
    (void)ScanDevices();
  }
}

korrin::window::UINT ProgramThreadProc(void* pParam) {
  WorkerStart start;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    if (pendingStart) {
      start = std::move(*pendingStart);
      pendingStart.reset();
    } else {
      start.window = static_cast<CKorrin_HIDDlg*>(pParam)->GetSafeHwnd();
      start.path = g_Comm.m_strFilePath;
    }
  }
  // Held until the thread ends: the buffer the blocks point into, and the
  // file, so that nobody opens the image while it is being sent.
  auto image = korrin::image::LoadedImage::Load(start.path);
  if (!image) {
    PostMessage(start.window, WM_TRANSFER_FAILED, 0, 0);
    return kTransferFailed;
  }
  const std::uint32_t count = image->BlockCount();
  for (std::uint32_t i = 0; i < count; ++i) {
    // The window is closing: it joins this thread before g_Comm and the
    // window go away, so stop without touching either again.
    if (korrin::platform::WorkerThread::StopRequested()) return kTransferFailed;
    const korrin::image::BlockProgress progress = korrin::image::ProgressAt(i, count);
    if (progress.before) PostMessage(start.window, WM_UPDATE_PROGRESS, *progress.before, kProgressWritten);
    const korrin::image::Block block = image->BlockAt(i);
    const bool written = g_Comm.WriteBlock(korrin::protocol::kCmdDataBlock, block.length, block.address,
                                           image->BlockData(i));
    // Asked to stop while the block was under way: nobody waits for word of it.
    if (korrin::platform::WorkerThread::StopRequested()) return kTransferFailed;
    if (!written) {
      PostMessage(start.window, WM_UPDATE_PROGRESS, progress.after, kProgressFailedBlock);
      PostMessage(start.window, WM_TRANSFER_FAILED, 0, 0);
      return kTransferFailed;
    }
    PostMessage(start.window, WM_UPDATE_PROGRESS, progress.after, kProgressWritten);
  }
  return kTransferWritten;
}

bool StartTransfer(CKorrin_HIDDlg& dialog) {
  // The earlier worker has ended once this returns, so everything it posted
  // is queued ahead of the marker.
  dialog.StopTransfer();
  if (startMarkers.window != dialog.GetSafeHwnd()) startMarkers = StartMarkers{dialog.GetSafeHwnd(), 0};
  if (dialog.PostMessage(WM_UPDATE_PROGRESS, 0, kTransferStarting)) ++startMarkers.queued;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    pendingStart = WorkerStart{dialog.GetSafeHwnd(), g_Comm.m_strFilePath};
  }
  g_pProgramThread = korrin::platform::WorkerThread::Start(ProgramThreadProc, &dialog);
  if (!g_pProgramThread) {
    std::lock_guard<std::mutex> lock(pendingMutex);
    pendingStart.reset();
    return false;
  }
  return true;
}

void CKorrin_HIDDlg::StopTransfer() {
  if (!g_pProgramThread) return;
  g_pProgramThread->RequestStop();
  g_pProgramThread->Join();
  g_pProgramThread.reset();
}

LRESULT CKorrin_HIDDlg::OnUpdateProgress(WPARAM wParam, LPARAM lParam) {
  if (lParam == kTransferStarting) {
    if (FromEarlierWorker(GetSafeHwnd())) --startMarkers.queued;
    return 0;
  }
  if (FromEarlierWorker(GetSafeHwnd())) return 0;
  m_Progress.SetPos(static_cast<int>(wParam));
  // The percentage of a block that failed moves the bar only; the failure
  // itself follows as WM_TRANSFER_FAILED.
  if (lParam == kProgressFailedBlock) return 0;
  if (static_cast<int>(wParam) < 100 || g_bUpdateDone) return 0;
  g_bUpdateDone = true;
  AppendLog("Update firmware successfully");
  (void)g_Comm.SendFinish();
  AppendLog(g_Comm.QueryCrc() ? "CRC check OK" : "CRC check failed");
  // A request that cannot be written leaves the texts of the attach-time
  // read, the firmware from before this update: show none rather than that.
  g_Comm.m_strBootloaderVersion.clear();
  g_Comm.m_strFirmwareVersion.clear();
  (void)g_Comm.ReadInfo(korrin::protocol::kCmdReadInfo, korrin::protocol::kReadInfoValue);
  g_strStatus = "Current Firmware Version: " + g_Comm.m_strFirmwareVersion;
  AppendLog(g_strStatus);
  m_Progress.SetPos(0);
  UpdateData(TRUE);
  m_Progress.EnableWindow(FALSE);
  return 0;
}

LRESULT CKorrin_HIDDlg::OnTransferFailed(WPARAM, LPARAM) {
  // Ends the transfer as the completion does, but without the end command
  // or the CRC request: the device did not get the whole image.
  if (FromEarlierWorker(GetSafeHwnd()) || g_bUpdateDone) return 0;
  g_bUpdateDone = true;
  AppendLog("Update firmware failed");
  m_Progress.SetPos(0);
  UpdateData(TRUE);
  m_Progress.EnableWindow(FALSE);
  return 0;
}
