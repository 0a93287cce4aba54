#include "agent/agent_reader.h"

#include <utility>

#include "frame/log.h"
#include "frame/scoped_signal_mask.h"

AgentReader::~AgentReader() { stop(); }

void AgentReader::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    next_ = nullptr;
  }
  cond_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void AgentReader::submit(std::function<void()> read) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  next_ = std::move(read);
  if (!thread_.joinable()) {
    try {
      ScopedSignalMask quiet(ScopedSignalMask::kBlockAll);
      thread_ = std::thread([this] { run(); });
    } catch (const std::exception& e) {
      logError(std::string("cannot create agent reading thread: ") + e.what());
      next_ = nullptr;
      return;
    }
  }
  cond_.notify_all();
}

void AgentReader::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cond_.wait(lock, [this] { return stopping_ || next_; });
    if (stopping_) return;
    std::function<void()> read = std::move(next_);
    next_ = nullptr;
    lock.unlock();
    try {
      read();
    } catch (const std::exception& e) {
      logError(std::string("agent read failed: ") + e.what());
    }
    lock.lock();
  }
}
