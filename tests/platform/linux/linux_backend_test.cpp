// The Linux backend's behaviour that needs no HID device: why an open fails,
// the once-per-path notice, and the removal monitor's start and stop. What
// needs a real hidraw node (reports, cancel, removal) is tested against the
// kernel in tests/e2e.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/hid/linux_backend.h"

namespace korrin::hid {
namespace {

using ::testing::HasSubstr;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/korrin-linux-backend.XXXXXX";
    path_ = mkdtemp(pattern);
    // Reachable by the unprivileged user of the permission case.
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct Diagnostics {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex);
    return lines;
  }
};

// Opens `path` as a user who may not open root's 0600 files, and returns the
// error text. As root that means a child process that drops to nobody.
std::string OpenAsUnprivileged(const std::string& path) {
  if (geteuid() != 0) {
    std::string error;
    auto iface = MakeLinuxBackend()->Open(path, &error);
    return iface ? "opened" : error;
  }
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string error = "could not drop privileges";
    if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0) {
      LinuxBackendOptions options;
      options.diagnostics = [](const std::string&) {};
      auto iface = MakeLinuxBackend(options)->Open(path, &error);
      if (iface) error = "opened";
    }
    [[maybe_unused]] auto written = write(fds[1], error.data(), error.size());
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return text;
}

struct OpenFailureCase {
  const char* name;
  // Makes the thing to open under `dir` and returns its path.
  std::string (*make)(const std::string& dir);
  bool unprivileged;
  const char* reason;
};

std::string Missing(const std::string& dir) { return dir + "/hidraw7"; }
std::string Directory(const std::string& dir) { return dir; }
std::string RegularFile(const std::string& dir) {
  std::string path = dir + "/plain";
  close(open(path.c_str(), O_CREAT | O_WRONLY, 0666));
  return path;
}
std::string RootOnlyFile(const std::string& dir) {
  std::string path = dir + "/hidraw0";
  close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
  if (geteuid() != 0) chmod(path.c_str(), 0);
  return path;
}

void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.name; }

class OpenFailure : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(OpenFailure, SaysWhyAndNamesThePath) {
  TempDir dir;
  const auto& c = GetParam();
  std::string path = c.make(dir.path());
  std::string error;
  if (c.unprivileged) {
    error = OpenAsUnprivileged(path);
  } else {
    LinuxBackendOptions options;
    options.diagnostics = [](const std::string&) {};
    auto iface = MakeLinuxBackend(options)->Open(path, &error);
    EXPECT_EQ(iface, nullptr);
  }
  EXPECT_THAT(error, HasSubstr("cannot open " + path + ": "));
  EXPECT_THAT(error, HasSubstr(c.reason));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFailure,
    ::testing::Values(OpenFailureCase{"missing_node", Missing, false, "no such device"},
                      OpenFailureCase{"directory", Directory, false, "not a HID device"},
                      OpenFailureCase{"not_hidraw", RegularFile, false, "not a HID device"},
                      OpenFailureCase{"no_permission", RootOnlyFile, true,
                                      "permission denied: install the udev rule 70-korrin-hid.rules"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenFailureNotice, IsWrittenOncePerPath) {
  TempDir dir;
  Diagnostics diagnostics;
  LinuxBackendOptions options;
  options.noticeVendor = std::nullopt;
  options.diagnostics = diagnostics.Sink();
  auto backend = MakeLinuxBackend(options);
  const std::string a = dir.path() + "/hidraw1", b = dir.path() + "/hidraw2";
  for (const auto& path : {a, a, b, a, b}) EXPECT_EQ(backend->Open(path, nullptr), nullptr) << path;

  auto lines = diagnostics.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("found HID device " + a + " but cannot open it: no such device"));
  EXPECT_THAT(lines[1], HasSubstr("found HID device " + b + " but cannot open it"));
}

TEST(OpenFailureNotice, IsNotWrittenForInterfacesOfOtherVendors) {
  // The default watches the programmer's vendor only; a path that no
  // enumeration showed as that vendor's (a keyboard, say) stays quiet.
  TempDir dir;
  Diagnostics diagnostics;
  LinuxBackendOptions options;
  options.diagnostics = diagnostics.Sink();
  auto backend = MakeLinuxBackend(options);
  std::string error;
  EXPECT_EQ(backend->Open(dir.path() + "/hidraw3", &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_THAT(diagnostics.Lines(), ::testing::IsEmpty());
}

TEST(RemovalMonitor, StartsAndStopsRepeatedlyWithoutComplaint) {
  Diagnostics diagnostics;
  LinuxBackendOptions options;
  options.monitorSource = "kernel";  // available without udevd, as in a container
  options.diagnostics = diagnostics.Sink();
  auto backend = MakeLinuxBackend(options);
  for (int i = 0; i < 20; ++i) {
    backend->SetRemovalCallback([](const std::string&) {});
    backend->SetRemovalCallback(nullptr);
  }
  // Destroyed while listening: the destructor stops and joins the thread.
  backend->SetRemovalCallback([](const std::string&) {});
  backend.reset();
  EXPECT_THAT(diagnostics.Lines(), ::testing::IsEmpty());
}

TEST(RemovalMonitor, ThatCannotStartSaysSoOnce) {
  Diagnostics diagnostics;
  LinuxBackendOptions options;
  options.monitorSource = "no-such-source";
  options.diagnostics = diagnostics.Sink();
  auto backend = MakeLinuxBackend(options);
  backend->SetRemovalCallback([](const std::string&) {});
  backend->SetRemovalCallback(nullptr);
  backend->SetRemovalCallback([](const std::string&) {});
  auto lines = diagnostics.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("removal of HID devices will not be noticed"));
  EXPECT_THAT(lines[0], HasSubstr("no-such-source"));
}

}  // namespace
}  // namespace korrin::hid
