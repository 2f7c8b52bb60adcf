#include "ui/app_resources.h"

#include <mutex>

#include "ui/resource.h"
#include "ui/version_info.h"

namespace korrin::ui {

using namespace korrin::window;

namespace {
constexpr const char* kTemplateFont = "MS Sans Serif";
}

const DialogTemplate& MainDialogTemplate() {
  static const DialogTemplate t{
      IDD_MAIN_DIALOG,
      "Korrin Programmer",
      0, 0, 402, 327,
      kTemplateFont,
      8,
      0x90CB00C0,  // WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX |
                   // DS_MODALFRAME | DS_SETFONT
      0x00040000,  // WS_EX_APPWINDOW
      {
          {-1, "BUTTON", "Device Identifiers", 7, 13, 386, 30, 0x50000007, 0, 0},
          {IDC_LOG_LIST, "LISTBOX", "", 7, 75, 386, 225, 0x50A10103, 0, 0},
          {IDC_ABOUT_BUTTON, "BUTTON", "About", 340, 1, 50, 14, 0x50010000, 0, 0},
          {IDC_DEVICE_COMBO, "COMBOBOX", "", 14, 25, 379, 107, 0x50210102, 0, 0},
          {-1, "BUTTON", "Write File", 7, 45, 327, 24, 0x50000007, 0, 0},
          {IDC_FILE_PATH, "EDIT", "", 14, 53, 263, 14, 0x50810080, 0, 0},
          {IDC_BROWSE, "BUTTON", "Browse", 281, 53, 50, 14, 0x50010000, 0, 0},
          {IDC_PROGRESS, "msctls_progress32", "", 7, 307, 386, 14, 0x50800001, 0, 0},
          {-1, "BUTTON", "FW Version:", 338, 45, 53, 24, 0x50000007, 0, 0},
          {IDC_FW_VERSION, "EDIT", "", 345, 53, 40, 14, 0x50810080, 0, 0},
      },
  };
  return t;
}

std::string AboutSecondLine() { return std::string(KORRIN_PRODUCT_NAME) + " " + KORRIN_DOTTED_VERSION; }

const DialogTemplate& AboutDialogTemplate() {
  static const DialogTemplate t{
      IDD_ABOUTBOX,
      "About Korrin_HID",
      0, 0, 235, 55,
      kTemplateFont,
      8,
      0x80C80040,  // WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT
      0,
      {
          {-1, "STATIC", "", 11, 17, 20, 20, 0x50000003, 0, IDR_MAINFRAME},
          {-1, "STATIC", "Korrin_HID Version 1.0", 40, 10, 119, 8, 0x50020080, 0, 0},
          {-1, "STATIC", AboutSecondLine(), 40, 25, 119, 8, 0x50020000, 0, 0},
          {IDOK, "BUTTON", "OK", 178, 7, 50, 14, 0x50030001, 0, 0},
      },
  };
  return t;
}

const VersionData& Version() {
  static const VersionData v{KORRIN_FILE_DESCRIPTION, KORRIN_FILE_VERSION_TEXT, KORRIN_INTERNAL_NAME,
                             KORRIN_ORIGINAL_FILENAME, KORRIN_PRODUCT_NAME,   KORRIN_PRODUCT_VERSION_TEXT,
                             KORRIN_DOTTED_VERSION};
  return v;
}

void EnsureResources() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterIconResource(IDR_MAINFRAME, DrawMainFrameIcon());
    RegisterStringResource(IDS_ABOUTBOX, "&About Korrin_HID...");
  });
}

}  // namespace korrin::ui
