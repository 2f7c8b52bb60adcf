// Worker threads. A worker can be asked to stop (it checks at points of its
// own choosing) and is always joined by its owner, so no worker outlives the
// objects it uses.
//
// Error convention: Start reports failure by returning null.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace korrin::platform {

class WorkerThread {
 public:
  using Procedure = std::uint32_t (*)(void* parameter);

  // Runs procedure(parameter) on a new thread at once. Null when the thread
  // could not be created.
  static std::unique_ptr<WorkerThread> Start(Procedure procedure, void* parameter);
  ~WorkerThread();  // requests a stop and joins

  void RequestStop() { stop_.store(true); }
  bool Finished() const { return finished_.load(); }
  void Join();
  // Valid once Finished().
  std::uint32_t ExitCode() const { return exitCode_.load(); }

  // For the procedure: true once its thread was asked to stop. False on a
  // thread that no WorkerThread started.
  static bool StopRequested();

 private:
  WorkerThread() = default;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::uint32_t> exitCode_{0};
  std::thread thread_;
};

}  // namespace korrin::platform
