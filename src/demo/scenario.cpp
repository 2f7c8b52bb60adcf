#include "demo/scenario.h"

#include <algorithm>
#include <sstream>
#include <utility>

#include "ui/Korrin_HIDDlg.h"

namespace korrin::demo {
namespace {

using namespace std::chrono_literals;

std::string VersionText(const sim::Version& v) { return std::to_string(v.major) + "." + std::to_string(v.minor); }

constexpr std::uint32_t kDemoBlocks = 40;
// A device that pulls itself out as the worker writes this block: the bar
// stops half way.
constexpr std::uint32_t kPulledAtBlock = kDemoBlocks / 2;

}  // namespace

sim::ImageSpec DemoImage() {
  sim::ImageSpec params;
  // 40 blocks, the last one short: about 2.5 s on a full-speed bus.
  params.payloadBytes = (kDemoBlocks - 1) * 4032 + 1000;
  params.version = {1, 0};  // what the window's version box says at start
  params.seed = 2014;
  return params;
}

std::string CompareLog(const std::vector<std::string>& log, const ExpectedLog& expected) {
  std::size_t at = 0;
  for (std::size_t g = 0; g < expected.size(); ++g) {
    std::vector<std::string> want = expected[g];
    if (at + want.size() > log.size()) {
      std::ostringstream out;
      out << "the log ends after " << log.size() << " lines; expected next: \"" << want.front() << "\"";
      return out.str();
    }
    std::vector<std::string> got(log.begin() + static_cast<std::ptrdiff_t>(at),
                                 log.begin() + static_cast<std::ptrdiff_t>(at + want.size()));
    std::vector<std::string> sortedWant = want, sortedGot = got;
    std::sort(sortedWant.begin(), sortedWant.end());
    std::sort(sortedGot.begin(), sortedGot.end());
    if (sortedWant != sortedGot) {
      std::ostringstream out;
      out << "log line " << at + 1 << " is \"" << got.front() << "\"; expected \"" << want.front() << "\"";
      if (want.size() > 1) out << " (one of " << want.size() << " lines in any order)";
      return out.str();
    }
    at += want.size();
  }
  if (at != log.size()) {
    std::ostringstream out;
    out << "the log has " << log.size() - at << " more lines than expected, from \"" << log[at] << "\"";
    return out.str();
  }
  return {};
}

Scenario::Scenario(std::shared_ptr<hid::sim::SimBus> bus, Options options) : bus_(std::move(bus)), options_(options) {
  timer_.setInterval(options_.fast ? 2 : 20);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
}

std::shared_ptr<sim::Device> Scenario::NewDevice(std::uint16_t productId, std::uint16_t versionNumber,
                                                 sim::Version bootloader, sim::Version firmware,
                                                 std::size_t interfaces) {
  sim::DeviceConfig config;
  config.interfaces.resize(interfaces);
  config.productId = productId;
  config.versionNumber = versionNumber;
  config.bootloader.bootloader = bootloader;
  config.bootloader.firmware = firmware;
  // A full-speed bus, so that the bar visibly moves.
  if (!options_.fast) config.faults.reportTime = sim::kFullSpeedReportTime;
  auto device = std::make_shared<sim::Device>(config);
  devices_.push_back(device);
  return device;
}

void Scenario::ExpectAttach(const sim::Version& bootloader, const sim::Version& firmware) {
  for (const char* line : {kStarLine, "The device has been attached.", "Vantorel Systems product detected"})
    expected_.push_back({line});
  expected_.push_back({"Bootloader Version: " + VersionText(bootloader)});
  expected_.push_back({"Firmware Version: " + VersionText(firmware)});
}

bool Scenario::LogHasLine(const std::string& line, int occurrences) const {
  int n = 0;
  for (int i = 0; i < dialog_->m_LogList.GetCount(); ++i) n += dialog_->m_LogList.GetText(i) == line;
  return n >= occurrences;
}

void Scenario::Pause(std::chrono::milliseconds forTheEye) {
  const std::chrono::milliseconds pause = options_.fast ? 0ms : forTheEye;
  auto until = std::make_shared<std::optional<std::chrono::steady_clock::time_point>>();
  steps_.push_back({"pause", [until, pause] {
                      const auto now = std::chrono::steady_clock::now();
                      if (!*until) *until = now + pause;
                      return now >= **until;
                    },
                    pause + 5s});
}

void Scenario::Do(std::string what, std::function<void()> action) {
  steps_.push_back({what, [this, what, action = std::move(action)] {
                      if (narrator_) narrator_(what);
                      action();
                      return true;
                    },
                    5s});
}

void Scenario::Until(std::string what, std::function<bool()> condition, std::chrono::milliseconds limit) {
  steps_.push_back({std::move(what), std::move(condition), limit});
}

void Scenario::Build() {
  const std::string image = VersionText(DemoImage().version);
  const std::chrono::milliseconds transferLimit = 60s;  // generous: a slow machine under load

  // Something that is not ours is on the bus all along; the program never
  // opens it.
  sim::DeviceConfig foreign;
  foreign.vendorId = 0x0ABC;
  foreign.productId = 0x0001;
  auto keyboard = std::make_shared<sim::Device>(foreign);
  Do("plug a device of another vendor", [this, keyboard] { bus_->Plug(keyboard); });
  Pause(1500ms);

  // First device: a good update.
  auto first = NewDevice(0x00AB, 0x0001, {2, 0}, {0, 8});
  Do("plug device 1 (bootloader 2.0, firmware 0.8)", [this, first] { bus_->Plug(first); });
  ExpectAttach({2, 0}, {0, 8});
  // The next device is plugged in while the first one is busy: it waits its turn.
  auto second = NewDevice(0x00AB, 0x0002, {2, 1}, {0, 9});
  second->bootloader().SetNegativeVerdict(true);
  Until("device 1 attached", [this] { return LogHasLine("Firmware Version: 0.8", 1); }, 10s);
  Do("plug device 2 while device 1 is attached", [this, second] { bus_->Plug(second); });
  Until("device 1 updated", [this, image] { return LogHasLine("Current Firmware Version: " + image, 1); },
        transferLimit);
  expected_.push_back({"Update firmware successfully"});
  expected_.push_back({"CRC check OK"});
  expected_.push_back({"Current Firmware Version: " + image});
  Pause(1500ms);
  Do("pull device 1 out", [this, first] { bus_->Unplug(first); });
  expected_.push_back({"The device has been removed."});
  expected_.push_back({kStarLine});

  // Second device: found at the first tick after the removal; its bootloader
  // rejects the image.
  ExpectAttach({2, 1}, {0, 9});
  expected_.push_back({"Update firmware successfully"});
  expected_.push_back({"CRC check failed"});
  expected_.push_back({"Current Firmware Version: 0.9"});
  Until("device 2 updated", [this] { return LogHasLine("CRC check failed", 1); }, transferLimit);
  Pause(1500ms);
  Do("pull device 2 out", [this, second] { bus_->Unplug(second); });
  expected_.push_back({"The device has been removed."});
  expected_.push_back({kStarLine});
  Until("device 2 removed", [this] { return LogHasLine("The device has been removed.", 2); }, 10s);
  Pause(1000ms);

  // Third device: pulled out in the middle of its transfer.
  auto third = NewDevice(0x00AC, 0x0001, {2, 1}, {0, 7});
  sim::LinkFaults faults = third->faults();
  faults.removeBeforeDataFrame = kPulledAtBlock;
  third->SetFaults(faults);
  Do("plug device 3, which is pulled out half way", [this, third] { bus_->Plug(third); });
  ExpectAttach({2, 1}, {0, 7});
  expected_.push_back({"The device has been removed.", kStarLine, "Update firmware failed"});
  Until("device 3 pulled out and its transfer failed",
        [this] { return LogHasLine("The device has been removed.", 3) && LogHasLine("Update firmware failed", 1); },
        transferLimit);
  Pause(1500ms);

  // Fourth device, with two HID interfaces: attached once, by its first, and
  // left attached at the end.
  auto fourth = NewDevice(0x00AB, 0x0003, {2, 2}, {0, 9}, 2);
  Do("plug device 4 (two interfaces)", [this, fourth] { bus_->Plug(fourth); });
  ExpectAttach({2, 2}, {0, 9});
  expected_.push_back({"Update firmware successfully"});
  expected_.push_back({"CRC check OK"});
  expected_.push_back({"Current Firmware Version: " + image});
  Until("device 4 updated", [this, image] { return LogHasLine("Current Firmware Version: " + image, 2); },
        transferLimit);
  Pause(1000ms);
  // The scenario's devices stay alive for as long as the bus may use them.
  devices_.push_back(keyboard);
}

void Scenario::Start(CKorrin_HIDDlg& dialog, std::function<void(bool ok)> finished) {
  dialog_ = &dialog;
  finished_ = std::move(finished);
  Build();
  current_ = 0;
  stepStarted_ = std::chrono::steady_clock::now();
  timer_.start();
}

void Scenario::Poll() {
  while (current_ < steps_.size()) {
    Step& step = steps_[current_];
    if (!step.done()) {
      if (std::chrono::steady_clock::now() - stepStarted_ > step.limit) {
        failure_ = "step \"" + step.what + "\" did not happen in time";
        Finish(false);
      }
      return;
    }
    ++current_;
    stepStarted_ = std::chrono::steady_clock::now();
  }
  Finish(true);
}

void Scenario::Finish(bool ok) {
  timer_.stop();
  if (finished_) {
    auto finished = std::move(finished_);
    finished_ = nullptr;
    finished(ok);
  }
}

}  // namespace korrin::demo
