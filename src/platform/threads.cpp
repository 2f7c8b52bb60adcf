#include "platform/threads.h"

#include <system_error>

namespace korrin::platform {
namespace {
thread_local const std::atomic<bool>* currentStopFlag = nullptr;
}

std::unique_ptr<WorkerThread> WorkerThread::Start(Procedure procedure, void* parameter) {
  std::unique_ptr<WorkerThread> worker(new WorkerThread());
  WorkerThread* self = worker.get();
  try {
    self->thread_ = std::thread([self, procedure, parameter] {
      currentStopFlag = &self->stop_;
      self->exitCode_.store(procedure(parameter));
      self->finished_.store(true);
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return worker;
}

WorkerThread::~WorkerThread() {
  RequestStop();
  Join();
}

void WorkerThread::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool WorkerThread::StopRequested() { return currentStopFlag != nullptr && currentStopFlag->load(); }

}  // namespace korrin::platform
