#include "nk_persistent_pool_manager.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "nk_exception.h"
#include "nk_log.h"
#include "nk_ready.h"

namespace norvak {
namespace ipc {

using base::NkDeadline;
using base::NkTimeout;

NkPersistentPoolManager::NkPersistentPoolManager(Role role, const ConnSettings& settings)
    : NkSessionPoolManager(role, settings) {
  try {
    control_ = std::make_unique<NkControl>("PoolManager::GControl");
  } catch (const std::exception& e) {
    base::NkLogError(std::string("PoolManager::ctor - cannot create a control: ") + e.what());
    throw base::NkException("PoolManager::ctor - cannot create a control");
  }
}

NkPersistentPoolManager::~NkPersistentPoolManager() { StopMaintenance(); }

void NkPersistentPoolManager::StartMaintenance() {
  if (maintainer_) return;
  control_->Clear();
  try {
    maintainer_ = std::make_unique<NkMaintainThread>(this);
  } catch (const std::exception& e) {
    base::NkLogError(std::string("PP-Manager::Open - cannot creates of the session maintainer: ") +
                     e.what());
    throw base::NkException("PP-Manager::Open - cannot creates of the session maintainer");
  }
}

void NkPersistentPoolManager::StopMaintenance() {
  if (!maintainer_) return;
  control_->Send(NkControl::kStop);
  maintainer_.reset();
  control_->Clear();
}

bool NkPersistentPoolManager::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ && !maintainer_) return true;
    closed_ = true;
  }
  StopMaintenance();
  event_.Broadcast(kEventDestroy);
  WakeUpAll();
  CloseAll();
  return true;
}

bool NkPersistentPoolManager::Suspend() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = true;
  }
  event_.Broadcast(kEventStateChanged);
  control_->Send(NkControl::kRebuild);
  return true;
}

bool NkPersistentPoolManager::Resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = false;
  }
  control_->Send(NkControl::kRebuild);
  return true;
}

NkIfIPCPtr NkPersistentPoolManager::AquireConnection(const NkDeadline& deadline) {
  return GetReady(deadline);
}

NkIfIPCPtr NkPersistentPoolManager::CreateOnRequest(const NkDeadline&) {
  throw base::NkException("PP-Manager::GetReady - this pool does not create on request");
}

NkIfIPCPtr NkPersistentPoolManager::GetReady(const NkDeadline& deadline) {
  CheckCancelAndExitIfNeed();
  const pthread_t self = pthread_self();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (closed_) throw base::NkThreadCanceled("PP-Manager::GetReady: thread has been canceled");
    if (suspended_) throw base::NkNeedRecall("function should be recalled");
    if (IsCancelRequestedLocked(self)) {
      AcknowledgeCancelLocked(self);
      base::NkLogDebug("CheckCancelAndExitIfNeed - find request for my cancel");
      throw base::NkThreadCanceled("PP-Manager::GetReady: thread has been canceled");
    }
    if (NkIfIPCPtr connection = TakeReadyLocked()) return connection;
    if (MayCreateLocked()) {
      lock.unlock();
      return CreateOnRequest(deadline);
    }

    uint32_t event = 0;
    NkIfIPCPtr handed;
    switch (WaitLocked(lock, deadline, &event, &handed)) {
      case kWaitTimedOut:
        throw base::NkTimedOut("PP-Manager::GetReady", deadline);
      case kWaitConnection:
        return handed;
      case kWaitAgain:
        continue;
      case kWaitEvent:
        break;
    }
    switch (event) {
      case kEventStateChanged:
        base::NkLogDebug("PP-Manager::GetReady - a state is changed, recall is nessessary");
        throw base::NkNeedRecall("function should be recalled");
      case kEventReady:
        base::NkLogDebug("PP-Manager::GetReady - a new connection is ready");
        break;
      case kEventClosed:
        base::NkLogDebug("PP-Manager::GetReady - one connection is closed");
        break;
      case kEventDestroy:
        base::NkLogDebug("PP-Manager::GetReady - destroy");
        throw base::NkThreadCanceled("PP-Manager::GetReady: thread has been canceled");
      case kEventCancel:
        if (IsCancelRequestedLocked(self)) {
          AcknowledgeCancelLocked(self);
          base::NkLogDebug("PP-Manager::GetReady - got event for a cancelation of " +
                           base::NkThreadText(self) + " thread");
          throw base::NkThreadCanceled("PP-Manager::GetReady: thread has been canceled");
        }
        break;
      default:
        base::NkLogError("PP-Manager::GetReady got unsupported event " + std::to_string(event));
        break;
    }
  }
}

NkPersistentPoolManager::WaitOutcome NkPersistentPoolManager::WaitLocked(
    std::unique_lock<std::mutex>& lock, const NkDeadline& deadline, uint32_t* event,
    NkIfIPCPtr*) {
  const pthread_t self = pthread_self();
  // Registered before the mutex is let go: whatever changes from here on
  // reaches this thread as an event.
  NkMultiEvent::Waiter waiter(event_);
  AddWaiterLocked(self);
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    const NkTimeout left = deadline.Remaining();
    base::NkLogDebug("_WaitReady: num=" + std::to_string(event_.GetWaitersCount()) +
                     " is infinite=" + (left.IsInfinite() ? "1" : "0") +
                     " timeout=" + left.ToString());
  }
  lock.unlock();
  const bool got = event_.Wait(waiter, deadline, event);
  lock.lock();
  RemoveWaiterLocked(self);
  return got ? kWaitEvent : kWaitTimedOut;
}

bool NkPersistentPoolManager::HandleControl(short revents) {
  if ((revents & POLLIN) == 0) throw base::NkException("Maintain: hung up");
  uint32_t command = 0;
  switch (control_->Read(&command)) {
    case NkControl::kNothing:
      return true;
    case NkControl::kEmptyQueue:
      base::NkLogDebug("NkPersistentPoolManager::Maintain terminate by emty queue");
      return false;
    case NkControl::kCommand:
      break;
  }
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("Maintain: got control command -> 0x" + base::NkHexText(command));
  }
  switch (command) {
    case NkControl::kStop:
      throw base::NkThreadCanceled("NkPersistentPoolManager::Maintain: thread has been canceled");
    case NkControl::kRebuild:
    case NkControl::kReleased:
    case NkControl::kClosed:
      break;
    default:
      base::NkLogError("Maintain: unknown control command -> " + std::to_string(command));
      break;
  }
  return true;
}

void NkPersistentPoolManager::Maintain() {
  std::vector<pollfd> entries;
  std::vector<NkIfIPCPtr> connections;
  for (;;) {
    entries.clear();
    connections.clear();
    entries.push_back(pollfd{control_->GetReadHandle(), POLLIN, 0});
    connections.push_back(NkIfIPCPtr());
    NkTimeout timeout;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timeout = BuildWaitListLocked(&entries, &connections);
    }
    const int first = SelectReady(entries, timeout);
    // Something was due when the poll began: it is done even if entries are
    // ready too, or a steady stream of requests would keep idle connections
    // open for ever.
    if (first < 0 || timeout.IsZero()) {
      try {
        OnTimeout();
      } catch (const std::exception& e) {
        base::NkLogError(std::string("Maintain: ") + e.what());
      }
    }
    if (first < 0) continue;
    if (static_cast<size_t>(first) >= entries.size()) {
      base::NkLogError("Maintain: poller return position behind a waitlist");
      continue;
    }
    // Every ready entry of this round, the control pipe first.
    for (size_t i = static_cast<size_t>(first); i < entries.size(); ++i) {
      if (entries[i].revents == 0) continue;
      if (i == 0) {
        if (!HandleControl(entries[i].revents)) return;
        continue;
      }
      try {
        OnReady(connections[i], entries[i].revents);
      } catch (const base::NkThreadCanceled&) {
        throw;
      } catch (const std::exception& e) {
        base::NkLogError(std::string("Maintain: ") + e.what());
      }
    }
  }
}

int NkPersistentPoolManager::PeekState(int fd) {
  if (fd < 0) return 0;
  for (;;) {
    char byte;
    ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) return 1;
    if (got == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    return 0;
  }
}

}  // namespace ipc
}  // namespace norvak
