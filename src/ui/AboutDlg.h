// The About box: the program's icon, name and version.
#pragma once

#include "platform/window/window.h"

class CAboutDlg : public korrin::window::CDialog {
 public:
  CAboutDlg();
  ~CAboutDlg() override;

  korrin::window::LRESULT WindowProc(korrin::window::UINT message, korrin::window::WPARAM wParam,
                                     korrin::window::LPARAM lParam) override;
  void OnOkButton();

  static const korrin::window::DialogTemplate& Template();
};
