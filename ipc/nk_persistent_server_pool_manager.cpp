#include "nk_persistent_server_pool_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "nk_exception.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

using base::NkDeadline;
using base::NkTimeout;

namespace {

#ifdef POLLRDHUP
constexpr short kHangUpEvents = POLLRDHUP;
#else
constexpr short kHangUpEvents = 0;
#endif
constexpr short kRequestEvents = POLLIN | kHangUpEvents;

template <typename Pool>
bool Remove(Pool* pool, const NkIfIPC* connection) {
  auto found = std::find_if(pool->begin(), pool->end(),
                            [connection](const NkIfIPCPtr& c) { return c.get() == connection; });
  if (found == pool->end()) return false;
  pool->erase(found);
  return true;
}

template <typename Pool>
bool Contains(const Pool& pool, const NkIfIPC* connection) {
  return std::any_of(pool.begin(), pool.end(),
                     [connection](const NkIfIPCPtr& c) { return c.get() == connection; });
}

}  // namespace

NkPersistentServerPoolManager::NkPersistentServerPoolManager(const ConnSettings& settings)
    : NkPersistentPoolManager(kServer, settings),
      wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_fd_) {
    const int error = errno;
    base::NkLogError("PoolManager::ctor - cannot create a control: " + base::NkErrorText(error));
    throw base::NkSystemError("PoolManager::ctor - cannot create a control", error);
  }
}

NkPersistentServerPoolManager::~NkPersistentServerPoolManager() { Close(); }

std::string NkPersistentServerPoolManager::StartLine() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string addresses;
  for (const std::string& address : addresses_) {
    if (!addresses.empty()) addresses += ",";
    addresses += address;
  }
  return "NkPersistentServerPoolManager has started for (" + addresses +
         ", supported=" + std::to_string(settings_.max_connections) +
         ", e=" + std::to_string(established_.size()) + ", r=" + std::to_string(ready_.size()) +
         ", a=" + std::to_string(busy_.size()) +
         ", min=" + std::to_string(settings_.min_connections) + ") connections ...";
}

bool NkPersistentServerPoolManager::Init(const std::vector<std::string>& addresses) {
  std::vector<NkIfIPCPtr> listeners;
  if (!CreateListeners(addresses, &listeners)) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_ = std::move(listeners);
    addresses_ = addresses;
    closed_ = false;
    suspended_ = false;
    accept_paused_ = false;
  }
  try {
    StartMaintenance();
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const NkIfIPCPtr& listener : listeners_) listener->Close();
    listeners_.clear();
    throw;
  }
  base::NkLogDebug(StartLine());
  return true;
}

bool NkPersistentServerPoolManager::Reinit(const std::vector<std::string>& addresses) {
  std::vector<NkIfIPCPtr> listeners;
  std::vector<NkIfIPCPtr> old;
  {
    // The old listeners go first: the new addresses may be the same files.
    std::lock_guard<std::mutex> lock(mutex_);
    old.swap(listeners_);
    old.insert(old.end(), established_.begin(), established_.end());
    old.insert(old.end(), ready_.begin(), ready_.end());
    if (parked_) old.push_back(std::move(parked_));
    parked_.reset();
    established_.clear();
    ready_.clear();
    retired_.insert(retired_.end(), busy_.begin(), busy_.end());
  }
  for (const NkIfIPCPtr& connection : old) connection->Close();
  event_.Broadcast(kEventStateChanged);
  const bool made = CreateListeners(addresses, &listeners);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_ = std::move(listeners);
    if (made) addresses_ = addresses;
    accept_paused_ = false;
  }
  GetControl().Send(NkControl::kRebuild);
  return made;
}

bool NkPersistentServerPoolManager::AcceptConnection(const NkIfIPCPtr&) {
  std::lock_guard<std::mutex> lock(mutex_);
  return !closed_ && (settings_.max_connections == 0 || CountLocked() < settings_.max_connections);
}

void NkPersistentServerPoolManager::UpdateMaximaLocked() {
  counters_.max_created = std::max<uint64_t>(counters_.max_created, CountLocked());
  counters_.max_established = std::max<uint64_t>(counters_.max_established, established_.size());
  counters_.max_active = std::max<uint64_t>(counters_.max_active, busy_.size());
}

void NkPersistentServerPoolManager::EstablishLocked(const NkIfIPCPtr& connection) {
  if (settings_.lifetime > 0) connection->SetExpiry(static_cast<uint32_t>(settings_.lifetime));
  established_.push_back(connection);
  UpdateMaximaLocked();
}

NkIfIPCPtr NkPersistentServerPoolManager::TakeReadyLocked() {
  if (ready_.empty()) return NkIfIPCPtr();
  NkIfIPCPtr connection = std::move(ready_.front());
  ready_.pop_front();
  busy_.push_back(connection);
  UpdateMaximaLocked();
  return connection;
}

void NkPersistentServerPoolManager::ReleaseConnection(const NkIfIPCPtr& connection) {
  if (!connection) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!Remove(&busy_, connection.get())) {
    lock.unlock();
    base::NkLogAlert("PSP-Manager::ReleaseConnection - can`t release " +
                     connection->GetDescription());
    connection->Close();
    return;
  }
  if (closed_ || Remove(&retired_, connection.get())) {
    lock.unlock();
    connection->Close();
    return;
  }
  if (!parked_ && !led_) {
    if (settings_.lifetime > 0) connection->SetExpiry(static_cast<uint32_t>(settings_.lifetime));
    parked_ = connection;
    lock.unlock();
    // A thread already waiting must lead it: nobody else would poll it.
    event_.Set(kEventReady);
    return;
  }
  EstablishLocked(connection);
  lock.unlock();
  GetControl().Send(NkControl::kReleased);
}

bool NkPersistentServerPoolManager::Suspend() {
  {
    // Nobody leads while the pool is suspended: the poller keeps watching.
    std::lock_guard<std::mutex> lock(mutex_);
    UnparkLocked();
  }
  return NkPersistentPoolManager::Suspend();
}

void NkPersistentServerPoolManager::UnparkLocked() {
  if (!parked_) return;
  EstablishLocked(parked_);
  parked_.reset();
  GetControl().Send(NkControl::kReleased);
}

NkPersistentPoolManager::WaitOutcome NkPersistentServerPoolManager::WaitLocked(
    std::unique_lock<std::mutex>& lock, const NkDeadline& deadline, uint32_t* event,
    NkIfIPCPtr* connection) {
  if (!parked_ || led_) return NkPersistentPoolManager::WaitLocked(lock, deadline, event, connection);

  const pthread_t self = pthread_self();
  NkIfIPCPtr lead = std::move(parked_);
  parked_.reset();
  led_ = lead;
  NkMultiEvent::Waiter waiter(event_, wake_fd_.get());
  AddWaiterLocked(self);
  lock.unlock();

  // Values for this waiter stay in its queue and are looked at before every
  // poll; a signal left by an earlier leader costs one more turn at most.
  uint64_t stale;
  WaitOutcome outcome = kWaitTimedOut;
  short revents = 0;
  bool expired = false;
  for (;;) {
    if (event_.TryTake(waiter, event)) {
      outcome = kWaitEvent;
      break;
    }
    pollfd entries[2] = {{lead->GetHandle(), kRequestEvents, 0}, {wake_fd_.get(), POLLIN, 0}};
    const NkTimeout left = std::min(deadline.Remaining(), lead->GetExpiry().Remaining());
    const int ready = poll(entries, 2, left.AsPollTimeout());
    if (ready < 0) {
      if (errno == EINTR) continue;
      base::NkLogError("PSP-Manager::GetReady - poll failed: " + base::NkErrorText(errno));
      outcome = kWaitAgain;  // the connection goes back to the poller
      break;
    }
    if (ready == 0) {
      if (lead->GetExpiry().IsPassed()) {
        outcome = kWaitAgain;
        expired = true;
        break;
      }
      if (deadline.IsPassed()) break;
      continue;
    }
    if (entries[1].revents != 0) {
      while (read(wake_fd_.get(), &stale, sizeof(stale)) > 0) {
      }
      continue;
    }
    revents = entries[0].revents;
    outcome = kWaitConnection;
    break;
  }

  lock.lock();
  RemoveWaiterLocked(self);
  led_.reset();
  if (outcome == kWaitConnection && !closed_ && !suspended_) {
    int state = 1;
    if (revents & (POLLERR | POLLHUP | POLLNVAL | kHangUpEvents)) {
      state = (revents & POLLNVAL) ? 0 : PeekState(lead->GetHandle());
    }
    if (state > 0) {
      busy_.push_back(lead);
      UpdateMaximaLocked();
      *connection = lead;
      return kWaitConnection;
    }
    base::NkLogDebug("PSP-Manager: " + lead->GetDescription() + " is closed or broken");
    lead->Close();
    // The poller may have stopped listening at the maximum of connections.
    GetControl().Send(NkControl::kClosed);
    return kWaitAgain;
  }
  if (outcome == kWaitConnection) outcome = kWaitAgain;
  if (closed_ || expired) {
    if (expired) {
      ++counters_.closed_by_timeout;
      base::NkLogDebug("PSP-Manager: Remove by timeout " + lead->GetDescription());
      GetControl().Send(NkControl::kClosed);
    }
    lead->Close();
  } else {
    EstablishLocked(lead);
    GetControl().Send(NkControl::kReleased);
  }
  return outcome;
}

void NkPersistentServerPoolManager::CloseConnection(const NkIfIPCPtr& connection) {
  if (!connection) return;
  std::unique_lock<std::mutex> lock(mutex_);
  const bool known = Remove(&busy_, connection.get()) || Remove(&established_, connection.get()) ||
                     Remove(&ready_, connection.get());
  Remove(&retired_, connection.get());
  lock.unlock();
  connection->Close();
  if (known) GetControl().Send(NkControl::kClosed);
}

NkTimeout NkPersistentServerPoolManager::BuildWaitListLocked(
    std::vector<pollfd>* entries, std::vector<NkIfIPCPtr>* connections) {
  NkTimeout timeout = base::kNkInfiniteTimeout;
  bool listen = !suspended_ &&
                (settings_.max_connections == 0 || CountLocked() < settings_.max_connections);
  if (accept_paused_) {
    if (accept_resume_.IsPassed()) {
      accept_paused_ = false;
    } else {
      listen = false;
      timeout = std::min(timeout, accept_resume_.Remaining());
    }
  }
  if (listen) {
    for (const NkIfIPCPtr& listener : listeners_) {
      entries->push_back(pollfd{listener->GetHandle(), POLLIN, 0});
      connections->push_back(listener);
    }
  }
  for (const NkIfIPCPtr& connection : established_) {
    entries->push_back(pollfd{connection->GetHandle(), kRequestEvents, 0});
    connections->push_back(connection);
    timeout = std::min(timeout, connection->GetExpiry().Remaining());
  }
  return timeout;
}

void NkPersistentServerPoolManager::AcceptOne(const NkIfIPCPtr& listener, short revents) {
  base::NkLogDebug("PSP-Manager: a new connection is ready to be established by " +
                   listener->GetDescription());
  NkIfIPCPtr connection;
  try {
    if (revents & (POLLERR | POLLNVAL)) {
      throw base::NkException("poll revents " + std::to_string(revents) + " on the listener");
    }
    connection = CreateServerConnection(listener, base::kNkZeroTimeout);
  } catch (const std::exception& e) {
    base::NkLogError("PSP-Manager: cannot accept at " + listener->GetDescription() + ": " +
                     e.what());
    std::lock_guard<std::mutex> lock(mutex_);
    accept_paused_ = true;
    accept_resume_ = NkDeadline(base::kNkOneSecondTimeout);
    return;
  }
  if (!connection) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) {
    lock.unlock();
    connection->Close();
    return;
  }
  EstablishLocked(connection);
  SampleLocked(CountLocked());
  lock.unlock();
  base::NkLogDebug("PSP-Manager: " + connection->GetDescription() + " is placed into the e-pool");
}

void NkPersistentServerPoolManager::OnReady(const NkIfIPCPtr& connection, short revents) {
  bool listener = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener = Contains(listeners_, connection.get());
    if (!listener && !Contains(established_, connection.get())) {
      base::NkLogDebug("PSP-Manager: " + connection->GetDescription() + " is already closed");
      return;
    }
  }
  if (listener) {
    AcceptOne(connection, revents);
    return;
  }
  // Input alone is a request. Only with a hang-up must the bytes be looked
  // at: a request followed by a close, or just the end of the stream.
  int state = 1;
  if (revents & (POLLERR | POLLHUP | POLLNVAL | kHangUpEvents)) {
    state = (revents & POLLNVAL) ? 0 : PeekState(connection->GetHandle());
    if (state < 0) state = 0;
  } else if ((revents & POLLIN) == 0) {
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (!Remove(&established_, connection.get())) return;
  if (state > 0) {
    ready_.push_back(connection);
    const size_t size = ready_.size();
    lock.unlock();
    if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
      base::NkLogDebug("PSP-Manager: " + connection->GetDescription() +
                       " is placed into r-pool; size=" + std::to_string(size));
    }
    event_.Set(kEventReady);
    return;
  }
  // Closed before it asked anything: nobody is woken for it.
  lock.unlock();
  base::NkLogDebug("PSP-Manager: " + connection->GetDescription() + " is closed or broken");
  connection->Close();
}

void NkPersistentServerPoolManager::OnTimeout() {
  std::vector<NkIfIPCPtr> expired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = established_.begin(); it != established_.end();) {
      if ((*it)->GetExpiry().IsPassed()) {
        expired.push_back(*it);
        it = established_.erase(it);
      } else {
        ++it;
      }
    }
    counters_.closed_by_timeout += expired.size();
  }
  for (const NkIfIPCPtr& connection : expired) {
    base::NkLogDebug("PSP-Manager: Remove by timeout " + connection->GetDescription());
    connection->Close();
  }
}

void NkPersistentServerPoolManager::CloseAll() {
  std::vector<NkIfIPCPtr> open;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open.swap(listeners_);
    open.insert(open.end(), established_.begin(), established_.end());
    open.insert(open.end(), ready_.begin(), ready_.end());
    if (parked_) open.push_back(std::move(parked_));
    parked_.reset();
    established_.clear();
    ready_.clear();
    // A leading thread is woken by the destroy event and closes its own.
    for (const NkIfIPCPtr& connection : busy_) {
      if (connection->GetHandle() >= 0) shutdown(connection->GetHandle(), SHUT_RDWR);
    }
  }
  for (const NkIfIPCPtr& connection : open) connection->Close();
}

size_t NkPersistentServerPoolManager::GetEstablishedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return established_.size();
}

size_t NkPersistentServerPoolManager::GetReadyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ready_.size();
}

size_t NkPersistentServerPoolManager::GetBusyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_.size();
}

}  // namespace ipc
}  // namespace norvak
