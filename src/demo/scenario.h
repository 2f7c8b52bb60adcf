// The demo's scenario: simulated devices plugged in and pulled out in turn,
// against the running main window, and the log the program must have
// written by the end. Runs on the user-interface thread from a Qt timer, so
// it never blocks the window it watches.
//
// Error convention: the scenario never throws; a step whose condition is
// not met in time ends it as failed, with the reason in failure().
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid/sim_backend.h"
#include "sim/bootloader.h"
#include "sim/image_gen.h"

class CKorrin_HIDDlg;

namespace korrin::demo {

struct Options {
  // No bus delay and no pauses for the eye: the whole run takes seconds.
  bool fast = false;
};

// The image the demo writes into its working folder under the default name.
sim::ImageSpec DemoImage();

// Lines of the log in order; the lines of one group may come in any order
// (a removal and the failure of the transfer it cut short are reported by
// two threads).
using ExpectedLog = std::vector<std::vector<std::string>>;
// Empty when `log` is as expected, else what differs first.
std::string CompareLog(const std::vector<std::string>& log, const ExpectedLog& expected);

class Scenario : public QObject {
 public:
  Scenario(std::shared_ptr<hid::sim::SimBus> bus, Options options);

  // Starts the steps against `dialog`, whose window must exist. `finished`
  // is called once, on the user-interface thread, when the last step ended
  // or a step failed.
  void Start(CKorrin_HIDDlg& dialog, std::function<void(bool ok)> finished);

  // Told what the scenario is about to do, before each plug-in and pull-out.
  void SetNarrator(std::function<void(const std::string& what)> narrator) { narrator_ = std::move(narrator); }

  const std::string& failure() const { return failure_; }
  // The log the scenario leads to.
  const ExpectedLog& expected() const { return expected_; }

 private:
  struct Step {
    std::string what;
    std::function<bool()> done;  // polled until true
    std::chrono::milliseconds limit;
  };
  void Pause(std::chrono::milliseconds forTheEye);
  void Do(std::string what, std::function<void()> action);
  void Until(std::string what, std::function<bool()> condition, std::chrono::milliseconds limit);
  void Poll();
  void Finish(bool ok);

  void Build();
  std::shared_ptr<sim::Device> NewDevice(std::uint16_t productId, std::uint16_t versionNumber, sim::Version bootloader,
                                         sim::Version firmware, std::size_t interfaces = 1);
  void ExpectAttach(const sim::Version& bootloader, const sim::Version& firmware);
  bool LogHasLine(const std::string& line, int occurrences) const;

  std::shared_ptr<hid::sim::SimBus> bus_;
  Options options_;
  CKorrin_HIDDlg* dialog_ = nullptr;
  std::vector<Step> steps_;
  std::size_t current_ = 0;
  std::chrono::steady_clock::time_point stepStarted_;
  QTimer timer_;
  std::function<void(bool)> finished_;
  std::function<void(const std::string&)> narrator_;
  std::string failure_;
  ExpectedLog expected_;
  std::vector<std::shared_ptr<sim::Device>> devices_;
};

}  // namespace korrin::demo
