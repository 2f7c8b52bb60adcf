// The Browse button: the operator picks the image for the next transfer.
#include "image/image.h"
#include "programming/transfer.h"
#include "ui/Korrin_HIDDlg.h"

namespace {
constexpr const char* kNotFirmwareFile = "This is not a firmware file, please select right file";
constexpr const char* kCannotOpen = "Cannot open the file";
// A file that opens but cannot be an image for this device (too short to
// hold the header, or too long for the device's block addresses).
constexpr const char* kNotAnImageForDevice = "This file is not a firmware image for this device";
}  // namespace

void CKorrin_HIDDlg::OnBrowse() {
  // A refused extension prompts again with a fresh dialog until the operator
  // picks a file that passes or gives up; every way out ends below.
  for (;;) {
    CFileDialog dialog(true, "*.*", "", CFileDialog::OFN_HIDEREADONLY, "All Files: (*.*)|*.*||", nullptr);
    if (dialog.DoModal() != IDOK) break;
    if (dialog.GetFileExt() != "bin") {  // case matters: BIN and Bin are refused
      AfxMessageBox(kNotFirmwareFile, MB_OK, 0);
      continue;
    }
    const std::string chosen = dialog.GetPathName();
    korrin::image::LoadError error;
    auto image = korrin::image::LoadedImage::Load(chosen, &error);
    if (!image) {
      AfxMessageBox(error.kind == korrin::image::LoadError::Kind::kNotAnImage ? kNotAnImageForDevice : kCannotOpen,
                    MB_OK, 0);
      break;
    }
    g_strStatus = image->Version();
    image.reset();  // nothing more is read; let the worker have the file
    UpdateData(TRUE);
    m_strImageVersion = g_strStatus;
    m_strImagePath = chosen;
    UpdateData(FALSE);
    break;
  }
  SetTransferImagePath(m_strImagePath);  // g_Comm.m_strFilePath, safe against a starting worker
}
