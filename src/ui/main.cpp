// korrin-hid: the program itself. It takes no command line, reads no
// environment of its own and keeps no settings; the window system's own
// variables (the display) are Qt's business.
#include <QApplication>

#include "platform/hid/hid.h"
#include "platform/window/qt_view.h"
#include "ui/Korrin_HIDApp.h"
#ifdef KORRIN_HAVE_LINUX_HID
#include "platform/hid/linux_backend.h"
#endif

int main(int argc, char** argv) {
  // Only the program's name reaches Qt, so that no argument can change it.
  static char fallbackName[] = "korrin-hid";
  int qtArgc = 1;
  char* qtArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication application(qtArgc, qtArgv);

#ifdef KORRIN_HAVE_LINUX_HID
  korrin::hid::InstallSystem(korrin::hid::MakeLinuxBackend());
#else
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
#endif
  korrin::window::SetView(korrin::window::MakeQtView());

  // The framework finds the one application object and runs it. Naming
  // theApp here also makes the linker keep it.
  if (korrin::window::AfxGetApp() != &theApp) return 1;
  const int exitCode = korrin::window::AfxWinMain();
  // The view's widgets go before the application object that they need.
  korrin::window::SetView(nullptr);
  return exitCode;
}
