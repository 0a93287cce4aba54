#include "frame/process_state.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// Function-local statics: the state may be read from static initialisers and
// from threads that outlive main's locals.
std::mutex& stateMutex() {
  static std::mutex m;
  return m;
}

std::condition_variable& stateChanged() {
  static std::condition_variable c;
  return c;
}

ProcessState g_state = INIT;

}  // namespace

ProcessState getProcessState() {
  std::lock_guard<std::mutex> lock(stateMutex());
  return g_state;
}

void setProcessState(ProcessState state) {
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    g_state = state;
  }
  stateChanged().notify_all();
}

const char* processStateName(int state) {
  switch (state) {
    case INIT:
      return "INIT";
    case STARTED:
      return "STARTED";
    case STOPPED:
      return "STOPPED";
    default:
      return "unknown";
  }
}

bool isProcessRunning() { return getProcessState() == STARTED; }

bool sleepUnlessStopped(int seconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
  std::unique_lock<std::mutex> lock(stateMutex());
  return !stateChanged().wait_until(lock, deadline, [] { return g_state == STOPPED; });
}
