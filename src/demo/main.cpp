// korrin-hid-demo: the program itself, on a simulated HID bus, with a
// scenario that plugs devices in and pulls them out in turn, so that the
// whole job can be watched without hardware.
//
// With a display it opens the window and leaves it open at the end. Without
// one it runs offscreen, mirrors every log line to standard output, writes a
// picture of the window at the end and exits: 0 when the log is what the
// scenario leads to, 1 when it is not, 2 for a wrong command line.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "demo/scenario.h"
#include "platform/hid/hid.h"
#include "platform/hid/sim_backend.h"
#include "platform/window/qt_view.h"
#include "platform/window/window.h"
#include "sim/image_gen.h"
#include "ui/Korrin_HIDApp.h"
#include "ui/Korrin_HIDDlg.h"

namespace {

constexpr const char* kUsage =
    "usage: korrin-hid-demo [--fast] [--screenshot FILE]\n"
    "\n"
    "Runs the programmer on simulated devices: it writes its demo image\n"
    "(the default image name) into the current folder, then plugs devices in\n"
    "and pulls them out in turn while the program finds, programs and forgets\n"
    "them.\n"
    "\n"
    "  --fast             no bus delay and no pauses (for tests)\n"
    "  --screenshot FILE  where to write the picture of the window at the end\n"
    "                     (default: korrin-hid-demo.png in the current folder)\n"
    "\n"
    "Without a display (no DISPLAY or WAYLAND_DISPLAY) the window is drawn\n"
    "offscreen, every log line is printed and the program exits at the end:\n"
    "0 when the log is as expected, 1 when it is not.\n";

bool HasDisplay() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && std::string(platform) == "offscreen") return false;
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x != nullptr && *x != '\0') || (wayland != nullptr && *wayland != '\0');
}

// Prints the log lines the window has gained since the last call.
class LogMirror {
 public:
  void Flush(CKorrin_HIDDlg& dialog) {
    const int count = dialog.m_LogList.GetCount();
    for (; printed_ < count; ++printed_) std::printf("%s\n", dialog.m_LogList.GetText(printed_).c_str());
    std::fflush(stdout);
  }

 private:
  int printed_ = 0;
};

std::vector<std::string> LogOf(CKorrin_HIDDlg& dialog) {
  std::vector<std::string> lines;
  for (int i = 0; i < dialog.m_LogList.GetCount(); ++i) lines.push_back(dialog.m_LogList.GetText(i));
  return lines;
}

int Run(bool display, const korrin::demo::Options& options, const std::string& screenshot) {
  static char name[] = "korrin-hid-demo";
  int qtArgc = 1;
  char* qtArgv[] = {name, nullptr};
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication application(qtArgc, qtArgv);

  auto bus = korrin::hid::sim::SimBus::Create();
  korrin::hid::InstallSystem(bus);
  korrin::window::SetView(korrin::window::MakeQtView());

  // The program opens the default image name in its working folder.
  const korrin::sim::ImageSpec image = korrin::demo::DemoImage();
  std::string error;
  if (!korrin::sim::WriteImageFile(kDefaultImageName, image, &error)) {
    std::fprintf(stderr, "korrin-hid-demo: %s\n", error.c_str());
    return 1;
  }
  std::printf("# demo image %s: %u payload bytes, version %u.%u\n",
              std::filesystem::absolute(kDefaultImageName).string().c_str(), image.payloadBytes,
              unsigned{image.version.major}, unsigned{image.version.minor});

  korrin::demo::Scenario scenario(bus, options);
  LogMirror mirror;
  QTimer mirrorTimer;
  bool started = false;
  bool passed = false;
  CKorrin_HIDDlg* shown = nullptr;

  QObject::connect(&mirrorTimer, &QTimer::timeout, [&] {
    if (shown != nullptr) mirror.Flush(*shown);
  });

  korrin::window::SetModalHook([&](korrin::window::CDialog& dialog, bool starting) {
    auto* main = dynamic_cast<CKorrin_HIDDlg*>(&dialog);
    if (main == nullptr) return;
    if (!starting) {
      mirror.Flush(*main);
      mirrorTimer.stop();
      shown = nullptr;
      return;
    }
    if (started) return;
    started = true;
    shown = main;
    mirrorTimer.start(10);
    scenario.SetNarrator([&, main](const std::string& what) {
      mirror.Flush(*main);
      std::printf("# %s\n", what.c_str());
      std::fflush(stdout);
    });
    scenario.Start(*main, [&, main](bool stepsOk) {
      mirror.Flush(*main);
      std::string why = stepsOk ? korrin::demo::CompareLog(LogOf(*main), scenario.expected()) : scenario.failure();
      passed = why.empty();
      if (passed)
        std::printf("# scenario finished as expected\n");
      else
        std::printf("# scenario FAILED: %s\n", why.c_str());
      if (korrin::window::RenderDialogToPng(*main, screenshot))
        std::printf("# screenshot: %s\n", std::filesystem::absolute(screenshot).string().c_str());
      else
        std::printf("# could not write the screenshot %s\n", screenshot.c_str());
      std::fflush(stdout);
      if (!display) {
        main->EndDialog(IDOK);
      } else {
        std::printf("# close the window to end the demo\n");
        std::fflush(stdout);
      }
    });
  });

  if (korrin::window::AfxGetApp() != &theApp) return 1;
  (void)korrin::window::AfxWinMain();
  korrin::window::SetModalHook(nullptr);
  if (!started) {
    std::fprintf(stderr, "korrin-hid-demo: the main window never opened\n");
    return 1;
  }
  return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  korrin::demo::Options options;
  std::string screenshot = "korrin-hid-demo.png";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--screenshot" && i + 1 < argc) {
      screenshot = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "korrin-hid-demo: unknown argument \"%s\"\n\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }

  const bool display = HasDisplay();
  if (!display) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Qt wants a private runtime folder; a bare session or CI may have none.
  std::string ownRuntimeDir;
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
    char runtime[] = "/tmp/korrin-hid-demo-XXXXXX";
    if (::mkdtemp(runtime) != nullptr) {
      ownRuntimeDir = runtime;
      setenv("XDG_RUNTIME_DIR", runtime, 1);
    }
  }
  const int status = Run(display, options, screenshot);
  if (!ownRuntimeDir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(ownRuntimeDir, ignored);
  }
  return status;
}
