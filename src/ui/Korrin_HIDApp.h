// The application object: the program starts in InitInstance and ends when
// the main window closes.
#pragma once

#include "platform/window/window.h"

class CKorrin_HIDApp : public korrin::window::CWinApp {
 public:
  CKorrin_HIDApp();
  ~CKorrin_HIDApp() override;
  korrin::window::BOOL InitInstance() override;
};

extern CKorrin_HIDApp theApp;
