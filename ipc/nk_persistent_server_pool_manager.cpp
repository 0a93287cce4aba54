#include "nk_persistent_server_pool_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

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

void NkPersistentServerPoolManager::SetAdmission(Admission admit, Departure depart) {
  std::lock_guard<std::mutex> lock(mutex_);
  admit_ = std::move(admit);
  depart_ = std::move(depart);
}

void NkPersistentServerPoolManager::SetRequestsPerTurn(unsigned requests) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_per_turn_ = requests;
}

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
  std::vector<NkIfIPCPtr> idle;
  {
    // The old listeners go first: the new addresses may be the same files.
    std::lock_guard<std::mutex> lock(mutex_);
    old.swap(listeners_);
    idle = TakeIdleLocked();
    retired_.insert(retired_.end(), busy_.begin(), busy_.end());
    // Its leading thread drops it, or serves it once more if a request came.
    if (led_) retired_.push_back(led_);
  }
  for (const NkIfIPCPtr& listener : old) listener->Close();
  for (const NkIfIPCPtr& connection : idle) Drop(connection);
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

void NkPersistentServerPoolManager::ServeLocked(const NkIfIPCPtr& connection) {
  busy_.push_back(connection);
  UpdateMaximaLocked();
  if (requests_per_turn_ == 0) return;
  auto found = admitted_.find(connection.get());
  if (found == admitted_.end()) return;
  Turn& turn = found->second;
  if (turn.ends.IsPassed()) turn = Turn{NkDeadline(base::kNkOneSecondTimeout), 0};
  ++turn.served;
}

bool NkPersistentServerPoolManager::SpentLocked(const NkIfIPC* connection) const {
  if (requests_per_turn_ == 0) return false;
  auto found = admitted_.find(connection);
  return found != admitted_.end() && found->second.served >= requests_per_turn_ &&
         !found->second.ends.IsPassed();
}

std::vector<NkIfIPCPtr> NkPersistentServerPoolManager::TakeIdleLocked() {
  std::vector<NkIfIPCPtr> idle;
  idle.swap(established_);
  idle.insert(idle.end(), ready_.begin(), ready_.end());
  idle.insert(idle.end(), held_.begin(), held_.end());
  if (parked_) idle.push_back(std::move(parked_));
  parked_.reset();
  ready_.clear();
  held_.clear();
  return idle;
}

void NkPersistentServerPoolManager::Drop(const NkIfIPCPtr& connection) {
  bool admitted = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    admitted = admitted_.erase(connection.get()) > 0;
  }
  // Told while still open, so that its descriptor cannot be a newcomer's yet.
  if (admitted && depart_) depart_(connection);
  connection->Close();
}

NkIfIPCPtr NkPersistentServerPoolManager::TakeReadyLocked() {
  if (ready_.empty()) return NkIfIPCPtr();
  NkIfIPCPtr connection = std::move(ready_.front());
  ready_.pop_front();
  ServeLocked(connection);
  return connection;
}

void NkPersistentServerPoolManager::ReleaseConnection(const NkIfIPCPtr& connection) {
  if (!connection) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!Remove(&busy_, connection.get())) {
    lock.unlock();
    base::NkLogAlert("PSP-Manager::ReleaseConnection - can`t release " +
                     connection->GetDescription());
    Drop(connection);
    return;
  }
  if (closed_ || Remove(&retired_, connection.get())) {
    lock.unlock();
    Drop(connection);
    return;
  }
  if (SpentLocked(connection.get())) {
    held_.push_back(connection);
    lock.unlock();
    // The maintenance thread's time-out must cover the end of its turn.
    GetControl().Send(NkControl::kReleased);
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
  bool broken = false;
  if (outcome == kWaitConnection && !closed_ && !suspended_) {
    int state = 1;
    if (revents & (POLLERR | POLLHUP | POLLNVAL | kHangUpEvents)) {
      state = (revents & POLLNVAL) ? 0 : PeekState(lead->GetHandle());
    }
    if (state > 0) {
      // Retired by a Reinit meanwhile, it is dropped when handed back.
      ServeLocked(lead);
      *connection = lead;
      return kWaitConnection;
    }
    broken = true;
  }
  if (outcome == kWaitConnection) outcome = kWaitAgain;
  const bool retired = Remove(&retired_, lead.get());
  if (!closed_ && !expired && !broken && !retired) {
    EstablishLocked(lead);
    GetControl().Send(NkControl::kReleased);
    return outcome;
  }
  if (expired) ++counters_.closed_by_timeout;
  lock.unlock();
  if (broken) base::NkLogDebug("PSP-Manager: " + lead->GetDescription() + " is closed or broken");
  if (expired) base::NkLogDebug("PSP-Manager: Remove by timeout " + lead->GetDescription());
  Drop(lead);
  // The poller may have stopped listening at the maximum of connections.
  if (broken || expired) GetControl().Send(NkControl::kClosed);
  lock.lock();
  return outcome;
}

void NkPersistentServerPoolManager::CloseConnection(const NkIfIPCPtr& connection) {
  if (!connection) return;
  std::unique_lock<std::mutex> lock(mutex_);
  const bool known = Remove(&busy_, connection.get()) || Remove(&established_, connection.get()) ||
                     Remove(&ready_, connection.get()) || Remove(&held_, connection.get());
  Remove(&retired_, connection.get());
  lock.unlock();
  Drop(connection);
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
  // Here rather than in OnTimeout: while other connections keep the poll
  // busy, no time-out may ever come.
  for (auto it = held_.begin(); it != held_.end();) {
    auto turn = admitted_.find(it->get());
    if (turn == admitted_.end() || turn->second.ends.IsPassed()) {
      EstablishLocked(*it);
      it = held_.erase(it);
    } else {
      timeout = std::min(timeout, turn->second.ends.Remaining());
      ++it;
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
    base::NkLogProtocolError("PSP-Manager: cannot accept at " + listener->GetDescription() +
                             ": " + e.what());
    std::lock_guard<std::mutex> lock(mutex_);
    accept_paused_ = true;
    accept_resume_ = NkDeadline(base::kNkOneSecondTimeout);
    return;
  }
  if (!connection) return;
  std::unique_lock<std::mutex> lock(mutex_);
  const size_t open = admitted_.size();
  lock.unlock();
  if (admit_ && !admit_(connection, open)) {
    base::NkLogDebug("PSP-Manager: " + connection->GetDescription() + " is not admitted");
    connection->Close();
    return;
  }
  lock.lock();
  admitted_.emplace(connection.get(), Turn());
  if (closed_) {
    lock.unlock();
    Drop(connection);
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
  Drop(connection);
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
    Drop(connection);
  }
}

void NkPersistentServerPoolManager::CloseAll() {
  std::vector<NkIfIPCPtr> listeners;
  std::vector<NkIfIPCPtr> idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners.swap(listeners_);
    idle = TakeIdleLocked();
    // A leading thread is woken by the destroy event and drops its own; the
    // busy ones are dropped when their threads hand them back.
    for (const NkIfIPCPtr& connection : busy_) {
      if (connection->GetHandle() >= 0) shutdown(connection->GetHandle(), SHUT_RDWR);
    }
  }
  for (const NkIfIPCPtr& listener : listeners) listener->Close();
  for (const NkIfIPCPtr& connection : idle) Drop(connection);
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
