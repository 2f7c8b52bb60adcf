// Starting and ending the transfer worker, for the attach sequence and the
// window's end. The transfer itself is a set of the main window's handlers
// (AnnounceImage, OnUpdateProgress, OnTransferFailed) and ProgramThreadProc.
//
// Error convention: StartTransfer returns false when no thread could be
// started (nothing is posted then). The handlers report as the window
// expects: AnnounceImage returns -1 when the image does not open, else 0.
#pragma once

#include "ui/Korrin_HIDDlg.h"

// Rescans made by AnnounceImage when the image info could not be written,
// before it gives up and lets the attach go on.
inline constexpr int kAnnounceRescans = 3;

// The worker's exit codes.
inline constexpr korrin::window::UINT kTransferWritten = 0;
inline constexpr korrin::window::UINT kTransferFailed = 0xFFFFFFFFu;  // -1

// Ends any earlier worker (asks it to stop at its next block and joins it),
// posts the start marker (WM_UPDATE_PROGRESS with kTransferStarting), then
// starts ProgramThreadProc for `dialog` as g_pProgramThread. The window's
// handlers pass over whatever an earlier worker left queued ahead of the
// marker. The window handle and g_Comm.m_strFilePath are taken here, on the
// user-interface thread, so that a Browse right after the start cannot race
// the worker.
// Call on the user-interface thread, after AnnounceImage.
[[nodiscard]] bool StartTransfer(CKorrin_HIDDlg& dialog);

// g_Comm.m_strFilePath is read by a starting worker while the operator may
// be browsing on the user-interface thread; the Browse handler writes it
// through this, and the worker reads it under the same lock.
void SetTransferImagePath(const std::string& path);
