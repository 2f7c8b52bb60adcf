// korrin-hid-console: the programmer's own dialog logic, unchanged, on the
// headless window layer with the Linux HID backend, for scripts, production
// lines and the real-kernel test. Standard output carries the event log and
// nothing else, each line as the dialog appends it; every diagnostic goes to
// standard error.
//
// The image argument goes through the dialog's own Browse handler, as if the
// operator had chosen the file, so the same rules accept or refuse it.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/hid/hid.h"
#include "platform/hid/linux_backend.h"
#include "platform/window/window.h"
#include "ui/Korrin_HIDApp.h"
#include "ui/Korrin_HIDDlg.h"

namespace {

using namespace korrin::window;

constexpr const char* kUsage =
    "usage: korrin-hid-console [IMAGE] [--count N]\n"
    "\n"
    "Programs every device of vendor 0x16D0 that is plugged in, one after the\n"
    "other, exactly as the Korrin Programmer window does, without a window.\n"
    "Each line of the event log is written to standard output as it appears;\n"
    "diagnostics go to standard error.\n"
    "\n"
    "  IMAGE       the firmware image (a .bin file); default: the program's\n"
    "              default image, 140806a_Tamsk_v1_0_enc.bin in the current\n"
    "              directory\n"
    "  --count N   stop after N updates: an update ends when its device is\n"
    "              unplugged, whether it completed or failed (default: run\n"
    "              until interrupted)\n"
    "  --help      show this text\n"
    "\n"
    "SIGINT and SIGTERM end the program cleanly: a transfer in progress stops\n"
    "between two blocks, never in the middle of a report.\n"
    "\n"
    "Exit status: 0 when every update ended with \"CRC check OK\", 1 when one did\n"
    "not (or was interrupted before its verdict), 2 when the arguments are wrong.\n"
    "\n"
    "A device that is found but cannot be opened is named on standard error\n"
    "with the reason; without root, install the udev rule 70-korrin-hid.rules.\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "korrin-hid-console: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

// The updates the log reports, one from each attach to the removal of its
// device. The log is the program's account of what happened to the
// operator, so the console reads it the way the operator would.
class UpdateTally {
 public:
  explicit UpdateTally(std::optional<unsigned> count) : count_(count) {}

  // True when the run should end after this line.
  bool OnLine(const std::string& line) {
    if (line == "The device has been attached.") {
      inUpdate_ = true;
      verdict_.reset();
    } else if (!inUpdate_) {
      return false;
    } else if (line == "CRC check OK") {
      verdict_ = true;
    } else if (line == "CRC check failed" || line == "Update firmware failed") {
      verdict_ = false;
    } else if (line == "The device has been removed.") {
      inUpdate_ = false;
      ++ended_;
      if (!verdict_.value_or(false)) allOk_ = false;
      return count_ && ended_ >= *count_;
    }
    return false;
  }

  // 0 when every update, the one still attached included, ended well.
  int ExitStatus() const {
    bool ok = allOk_ && (!inUpdate_ || verdict_.value_or(false));
    return ok ? 0 : 1;
  }

 private:
  std::optional<unsigned> count_;
  unsigned ended_ = 0;
  bool inUpdate_ = false;
  std::optional<bool> verdict_;
  bool allOk_ = true;
};

// No display: shows nothing, and hands each line appended to the main
// window's event log to standard output at once.
class LogToStdoutView final : public View {
 public:
  explicit LogToStdoutView(UpdateTally& tally) : tally_(tally) {}

  FontMetrics Metrics(const DialogTemplate&) override { return {}; }
  void Attach(CDialog&) override {}
  void Detach(CDialog&) override {}
  void Refresh(CDialog& dialog, int id) override {
    if (id != IDC_LOG_LIST || dynamic_cast<CKorrin_HIDDlg*>(&dialog) == nullptr || !dialog.window()) return;
    auto* log = dynamic_cast<ListBoxModel*>(dialog.window()->Control(IDC_LOG_LIST));
    if (log == nullptr) return;
    const auto& rows = log->rows();
    bool end = false;
    for (; printed_ < rows.size(); ++printed_) {
      std::fputs(rows[printed_].c_str(), stdout);
      std::fputc('\n', stdout);
      end = tally_.OnLine(rows[printed_]) || end;
    }
    std::fflush(stdout);
    if (end) dialog.EndDialog(IDCANCEL);
  }
  int ShowMessageBox(const MessageBoxRequest& request) override {
    std::fprintf(stderr, "%s: %s\n", request.caption.c_str(), request.text.c_str());
    return IDOK;
  }
  FileDialogAnswer ShowFileDialog(const FileDialogRequest&) override { return {}; }
  UINT TrackPopupMenu(CDialog&, const std::vector<MenuEntry>&, int, int) override { return 0; }

 private:
  UpdateTally& tally_;
  std::size_t printed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> imagePath;
  std::optional<unsigned> count;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--count") {
      if (i + 1 >= argc) return Usage("--count needs a number");
      const char* text = argv[++i];
      char* end = nullptr;
      errno = 0;
      const unsigned long value = std::strtoul(text, &end, 10);
      if (!*text || *end || errno || value == 0 || value > 1000000000ul || text[0] == '-' || text[0] == '+')
        return Usage(std::string("--count needs a whole number from 1: ") + text);
      count = static_cast<unsigned>(value);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + std::string(arg));
    } else if (imagePath) {
      return Usage("only one image may be given");
    } else {
      imagePath = std::string(arg);
    }
  }

  // Blocked before any thread starts, so that every thread inherits it and
  // the signals arrive only through the descriptor the event loop watches.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) {
    std::fprintf(stderr, "korrin-hid-console: signalfd failed: %s\n", std::strerror(errno));
    return 1;
  }

  static char fallbackName[] = "korrin-hid-console";
  int qtArgc = 1;
  char* qtArgv[] = {argc > 0 && argv[0] ? argv[0] : fallbackName, nullptr};
  QCoreApplication application(qtArgc, qtArgv);

  korrin::hid::InstallSystem(korrin::hid::MakeLinuxBackend());
  UpdateTally tally(count);
  SetView(std::make_shared<LogToStdoutView>(tally));

  bool badImage = false;

  CKorrin_HIDDlg* mainDialog = nullptr;
  QSocketNotifier stopNotifier(signalFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    // Handled between two messages: no handler is in the middle of the
    // channel, and the dialog's end stops a running transfer at its next
    // block and waits for it.
    if (mainDialog) mainDialog->EndDialog(IDCANCEL);
  });

  SetModalHook([&](CDialog& dialog, bool starting) {
    auto* main = dynamic_cast<CKorrin_HIDDlg*>(&dialog);
    if (!main) return;
    if (!starting) {
      mainDialog = nullptr;
      return;
    }
    mainDialog = main;
    if (!imagePath) return;
    // The operator's Browse, answered with the image given. A refusal shows
    // a message box (on standard error) and Browse asks again: then the
    // answer is Cancel, and the run ends with status 2.
    int asked = 0;
    SetFileDialogHook([&](const FileDialogRequest&) {
      FileDialogAnswer answer;
      if (asked++ == 0) {
        answer.result = IDOK;
        answer.pathName = std::filesystem::absolute(*imagePath).lexically_normal().string();
      }
      return answer;
    });
    SetMessageBoxHook([&](const MessageBoxRequest& request) {
      std::fprintf(stderr, "%s: %s: %s\n", request.caption.c_str(), imagePath->c_str(), request.text.c_str());
      badImage = true;
      return IDOK;
    });
    main->OnBrowse();
    SetFileDialogHook(nullptr);
    SetMessageBoxHook(nullptr);
    if (badImage) main->EndDialog(IDCANCEL);
  });

  // The comparison also makes the linker keep the application object,
  // which nothing else here names.
  if (AfxGetApp() != &theApp) {
    std::fprintf(stderr, "korrin-hid-console: the application object is missing\n");
    return 1;
  }
  (void)AfxWinMain();
  SetModalHook(nullptr);
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  close(signalFd);
  if (badImage) return 2;
  return tally.ExitStatus();
}
