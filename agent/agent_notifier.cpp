#include "agent/agent_notifier.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <set>
#include <utility>

#include "frame/log.h"
#include "frame/scoped_signal_mask.h"
#include "monitor/application.h"
#include "monitor/component.h"

AgentNotice AgentNotice::of(Kind kind, const Application& app) {
  AgentNotice n;
  n.kind = kind;
  n.app = app.name();
  const std::vector<Component>& comps = app.components();
  // A component that never ran has no pid yet (-1); the agent is told 0,
  // as for no component at all.
  if (!comps.empty()) n.pid = std::max<int32_t>(comps.front().pid(), 0);
  if (kind == kStartApp) {
    std::set<std::string> perms;
    for (const Component& c : comps) perms.insert(c.permissions());
    for (const std::string& p : perms) {
      if (!n.permissions.empty()) n.permissions += ",";
      n.permissions += p;
    }
    if (comps.size() == 1) n.arguments = comps.front().argv();
  }
  return n;
}

std::string AgentNotice::describe() const {
  return std::string(kind == kStartApp ? "StartApp " : "StopApp ") + app;
}

AgentNotifier::AgentNotifier(Sender sender, size_t capacity, std::chrono::milliseconds firstRetry,
                             std::chrono::milliseconds maxRetry)
    : sender_(std::move(sender)),
      capacity_(std::max<size_t>(capacity, 1)),
      firstRetry_(firstRetry),
      maxRetry_(std::max(maxRetry, firstRetry)) {}

AgentNotifier::~AgentNotifier() { stop(); }

bool AgentNotifier::start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return true;
    stopping_ = false;
  }
  // The thread inherits the mask in force when it is created, so there is
  // no moment at which it could take a signal meant for the loop.
  try {
    ScopedSignalMask quiet(ScopedSignalMask::kBlockAll);
    thread_ = std::thread([this] { run(); });
  } catch (const std::exception& e) {
    logError(std::string("cannot create agent notification thread: ") + e.what());
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = true;
  return true;
}

void AgentNotifier::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cond_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  if (!queue_.empty()) {
    logDebug("agent notifications: " + std::to_string(queue_.size()) +
             " not delivered at the end");
    dropped_ += queue_.size();
    queue_.clear();
  }
  idle_.notify_all();
}

void AgentNotifier::post(AgentNotice notice) {
  std::string lost;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || stopping_) {
      ++dropped_;
      return;
    }
    if (queue_.size() >= capacity_) {
      // The head may be in the sender's hands right now; the oldest of the
      // others goes instead.
      auto oldest = queue_.begin();
      if (sending_ && queue_.size() > 1) ++oldest;
      lost = oldest->notice.describe();
      queue_.erase(oldest);
      ++dropped_;
    }
    queue_.push_back(Entry{nextSeq_++, std::move(notice)});
  }
  cond_.notify_all();
  if (!lost.empty()) {
    logAlert("agent notifications: more than " + std::to_string(capacity_) +
             " waiting for an unreachable agent, " + lost + " dropped");
  }
}

void AgentNotifier::wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  cond_.notify_all();
}

size_t AgentNotifier::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

uint64_t AgentNotifier::delivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_;
}

uint64_t AgentNotifier::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

bool AgentNotifier::waitIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, timeout, [this] { return queue_.empty(); });
}

void AgentNotifier::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::chrono::milliseconds pause = firstRetry_;
  bool failing = false;
  for (;;) {
    cond_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    // Copied: the queue may change while the sender runs without the lock.
    const Entry head = queue_.front();
    sending_ = true;
    woken_ = false;
    lock.unlock();
    bool sent = false;
    try {
      sent = sender_(head.notice);
    } catch (const std::exception& e) {
      logDebug(head.notice.describe() + " to the agent: " + e.what());
    }
    lock.lock();
    sending_ = false;
    if (sent) {
      if (!queue_.empty() && queue_.front().seq == head.seq) queue_.pop_front();
      ++delivered_;
      pause = firstRetry_;
      if (failing) {
        failing = false;
        logInfo("agent notifications: the agent is reachable again, " +
                std::to_string(queue_.size()) + " more to send");
      }
      logDebug(head.notice.describe() + " sent to the agent");
      if (queue_.empty()) idle_.notify_all();
      continue;
    }
    if (!failing) {
      failing = true;
      logInfo("agent notifications: " + head.notice.describe() +
              " not delivered, kept until the agent can be reached");
    }
    // Not polling: the pause grows while the agent stays away, and wake()
    // cuts it short when the agent comes back.
    if (!woken_) cond_.wait_for(lock, pause, [this] { return stopping_ || woken_; });
    if (woken_) {
      woken_ = false;
      pause = firstRetry_;
    } else {
      pause = std::min(pause * 2, maxRetry_);
    }
  }
}
