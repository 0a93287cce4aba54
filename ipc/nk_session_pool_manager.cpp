#include "nk_session_pool_manager.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "nk_exception.h"
#include "nk_ipc_error.h"
#include "nk_ipc_factory.h"
#include "nk_log.h"
#include "nk_ready.h"
#include "nk_socket.h"

namespace norvak {
namespace ipc {

using base::NkDeadline;
using base::NkTimeout;

namespace {

bool Contains(const std::vector<pthread_t>& threads, pthread_t thread) {
  return std::any_of(threads.begin(), threads.end(),
                     [thread](pthread_t t) { return pthread_equal(t, thread) != 0; });
}

void Erase(std::vector<pthread_t>* threads, pthread_t thread) {
  auto found = std::find_if(threads->begin(), threads->end(),
                            [thread](pthread_t t) { return pthread_equal(t, thread) != 0; });
  if (found != threads->end()) threads->erase(found);
}

// Requests and replies are small writes answered at once: waiting to
// coalesce them (Nagle against delayed acknowledgements) costs tens of
// milliseconds per exchange.
void NoDelay(const NkIfIPCPtr& connection) {
  const NkIpcAddressPtr local = connection->GetLocalAddress();
  const NkIpcAddressPtr remote = connection->GetRemoteAddress();
  const bool inet = (local && local->GetFamily() == NkIpcAddress::kInet) ||
                    (remote && remote->GetFamily() == NkIpcAddress::kInet);
  if (!inet || connection->GetHandle() < 0) return;
  const int on = 1;
  if (setsockopt(connection->GetHandle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) {
    base::NkLogDebug("Pool: TCP_NODELAY failed for " + connection->GetDescription() + ": " +
                     base::NkErrorText(errno));
  }
}

std::string Rate(uint64_t count, int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f",
                static_cast<double>(count) / static_cast<double>(seconds > 0 ? seconds : 1));
  return text;
}

}  // namespace

NkSessionPoolManager::NkSessionPoolManager(Role role, const ConnSettings& settings)
    : role_(role),
      settings_(settings),
      connect_timeout_(ConnectTimeoutFromEnvironment()),
      event_("PoolManager::GMultiEvent"),
      start_time_(base::NkTime::Now()) {
  settings_.Check();
}

NkSessionPoolManager::~NkSessionPoolManager() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const NkIfIPCPtr& listener : listeners_) listener->Close();
}

NkTimeout NkSessionPoolManager::ConnectTimeoutFromEnvironment() {
  const NkTimeout fallback = NkTimeout::Seconds(10);
  const char* text = std::getenv("NK_CONNECT_TIMEOUT");
  if (text == nullptr) return fallback;
  char* end = nullptr;
  errno = 0;
  unsigned long seconds = std::strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || *text == '-') {
    base::NkLogAlert(std::string("NK_CONNECT_TIMEOUT: bad value '") + text +
                     "', 10 seconds are used");
    return fallback;
  }
  return NkTimeout(static_cast<int64_t>(std::min<unsigned long>(seconds, 14400)),
                   NkTimeout::kSeconds);
}

bool NkSessionPoolManager::Init(const std::vector<std::string>& addresses) {
  std::vector<NkIfIPCPtr> listeners;
  if (role_ == kServer && !CreateListeners(addresses, &listeners)) return false;
  if (role_ == kClient && addresses.empty()) {
    base::NkLogError("Pool::Init - no address to connect to");
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const NkIfIPCPtr& old : listeners_) old->Close();
  listeners_ = std::move(listeners);
  addresses_ = addresses;
  next_address_ = 0;
  closed_ = false;
  suspended_ = false;
  cancel_requests_.clear();
  return true;
}

bool NkSessionPoolManager::Reinit(const std::vector<std::string>& addresses) {
  event_.Broadcast(kEventStateChanged);
  return Init(addresses);
}

bool NkSessionPoolManager::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (const NkIfIPCPtr& listener : listeners_) listener->Close();
    listeners_.clear();
  }
  event_.Broadcast(kEventDestroy);
  WakeUpAll();
  return true;
}

bool NkSessionPoolManager::Suspend() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = true;
  }
  event_.Broadcast(kEventStateChanged);
  return true;
}

bool NkSessionPoolManager::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  suspended_ = false;
  return true;
}

NkIfIPCPtr NkSessionPoolManager::AquireConnection(const NkDeadline& deadline) {
  for (;;) {
    CheckCancelAndExitIfNeed();
    std::vector<NkIfIPCPtr> listeners;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) throw base::NkThreadCanceled("PoolManager::AquireConnection: thread has been canceled");
      if (suspended_) throw base::NkNeedRecall("function should be recalled");
      listeners = listeners_;
    }
    if (role_ == kClient) return CreateClientConnection(deadline);

    // Accept in one-second slices so that a close or a cancellation is
    // noticed while nobody connects.
    std::vector<pollfd> entries;
    for (const NkIfIPCPtr& listener : listeners) {
      entries.push_back(pollfd{listener->GetHandle(), POLLIN, 0});
    }
    NkTimeout slice = std::min(deadline.Remaining(), base::kNkOneSecondTimeout);
    int ready = SelectReady(entries, slice);
    if (ready >= 0) {
      NkIfIPCPtr connection = CreateServerConnection(listeners[ready], base::kNkZeroTimeout);
      if (connection) return connection;
    }
    if (deadline.IsPassed()) throw base::NkTimedOut("PoolManager::AquireConnection", deadline);
  }
}

void NkSessionPoolManager::ReleaseConnection(const NkIfIPCPtr& connection) {
  CloseConnection(connection);
}

void NkSessionPoolManager::CloseConnection(const NkIfIPCPtr& connection) {
  if (connection) connection->Close();
}

ConnSettings NkSessionPoolManager::GetConnSettings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

NkIfIPCPtr NkSessionPoolManager::CreateClientConnection(const NkDeadline& deadline) {
  std::vector<std::string> addresses;
  size_t start = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses = addresses_;
    start = next_address_;
    if (!addresses_.empty()) next_address_ = (next_address_ + 1) % addresses_.size();
  }
  if (addresses.empty()) {
    throw base::NkException("Pool::CreateClientConnection - no address to connect to");
  }
  std::exception_ptr failure;
  for (size_t i = 0; i < addresses.size(); ++i) {
    const std::string& address = addresses[(start + i) % addresses.size()];
    try {
      base::NkLogDebug("Pool::CreateClientConnection - call connect to " + address);
      NkIfIPCPtr connection = CreateIPC(std::string(), address);
      if (!connection->Connect(std::min(connect_timeout_, deadline.Remaining()))) {
        throw NkIpcError(connection.get(), "CreateClientConnection - cannot establish a ",
                         " connection");
      }
      if (!AcceptConnection(connection)) {
        base::NkLogAlert("CreateClientConnection - a new connection " +
                         connection->GetDescription() + " was not accepted by session manager");
        connection->Close();
        continue;
      }
      NoDelay(connection);
      base::NkLogDebug("Pool::CreateClientConnection - an established " +
                       connection->GetDescription());
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.created;
      return connection;
    } catch (const std::exception& e) {
      base::NkLogError("Pool::CreateClientConnection - cannot create connection to " + address +
                       ": " + e.what());
      failure = std::current_exception();
    }
    if (deadline.IsPassed()) break;
  }
  if (failure) std::rethrow_exception(failure);
  throw base::NkException("Pool::CreateClientConnection - cannot create connection");
}

NkIfIPCPtr NkSessionPoolManager::CreateServerConnection(const NkIfIPCPtr& listener,
                                                        const NkTimeout& timeout) {
  if (!listener) {
    base::NkLogError("Pool::CreateServerConnection - null reference to a listening connection");
    throw base::NkParameterError("Pool::CreateServerConnection", "ListeningConnection", "null");
  }
  base::NkLogDebug("Pool::CreateServerConnection - ready to accept connection at " +
                   listener->GetDescription());
  NkIfIPCPtr connection = CreateIPC(listener->GetLocalAddress(), NkIpcAddressPtr());
  try {
    if (!listener->Accept(timeout, connection.get())) return NkIfIPCPtr();
  } catch (const base::NkTimedOut&) {
    // Somebody connected and gave up before we got to them.
    return NkIfIPCPtr();
  }
  if (!AcceptConnection(connection)) {
    base::NkLogAlert("Pool::CreateServerConnection - new connection was not accepted by session manager");
    connection->Close();
    return NkIfIPCPtr();
  }
  NoDelay(connection);
  base::NkLogDebug("Pool::CreateServerConnection - an accepted " + connection->GetDescription());
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.created;
  return connection;
}

bool NkSessionPoolManager::CreateListeners(const std::vector<std::string>& addresses,
                                           std::vector<NkIfIPCPtr>* listeners) {
  if (addresses.empty()) {
    base::NkLogError("Pool::CreateListeners - no address to listen at");
    return false;
  }
  for (const std::string& address : addresses) {
    try {
      NkIfIPCPtr listener = CreateIPC(address, std::string());
      listener->SetServer(true);
      if (!listener->Create() || !listener->Listen(NkSocket::kDefaultBacklog)) {
        throw NkIpcError(listener.get(), "Pool::CreateListeners - cannot listen at ", "");
      }
      listeners->push_back(listener);
    } catch (const std::exception& e) {
      base::NkLogError("Pool::CreateListeners - cannot listen at " + address + ": " + e.what());
      for (const NkIfIPCPtr& made : *listeners) made->Close();
      listeners->clear();
      return false;
    }
  }
  return true;
}

bool NkSessionPoolManager::AcceptConnection(const NkIfIPCPtr&) { return true; }

void NkSessionPoolManager::CheckCancelAndExitIfNeed() {
  std::lock_guard<std::mutex> lock(mutex_);
  const pthread_t self = pthread_self();
  if (!IsCancelRequestedLocked(self)) return;
  AcknowledgeCancelLocked(self);
  base::NkLogDebug("CheckCancelAndExitIfNeed - find request for my cancel");
  throw base::NkThreadCanceled("PP-Manager::GetReady: thread has been canceled");
}

bool NkSessionPoolManager::IsCancelRequestedLocked(pthread_t thread) const {
  return Contains(cancel_requests_, thread);
}

void NkSessionPoolManager::AcknowledgeCancelLocked(pthread_t thread) {
  Erase(&cancel_requests_, thread);
  cond_.notify_all();
}

void NkSessionPoolManager::AddWaiterLocked(pthread_t thread) { waiting_.push_back(thread); }

void NkSessionPoolManager::RemoveWaiterLocked(pthread_t thread) { Erase(&waiting_, thread); }

void NkSessionPoolManager::CancelThread(pthread_t thread) {
  base::NkLogDebug("PP-Manager: request for cancelation of the thread " + base::NkThreadText(thread));
  std::unique_lock<std::mutex> lock(mutex_);
  if (!IsCancelRequestedLocked(thread)) cancel_requests_.push_back(thread);
  const bool waits = Contains(waiting_, thread) || Contains(sleeping_, thread);
  lock.unlock();
  event_.Broadcast(kEventCancel);
  cond_.notify_all();
  // A thread that does not wait here now meets the request the next time it
  // would; only a waiting one can acknowledge at once.
  if (!waits || pthread_equal(thread, pthread_self())) return;
  lock.lock();
  const bool acknowledged = cond_.wait_for(lock, std::chrono::seconds(1), [&] {
    return !IsCancelRequestedLocked(thread);
  });
  if (!acknowledged) {
    base::NkLogAlert("PP-Manager::CancelationAcknowledge - a request for a cancelation of the " +
                     base::NkThreadText(thread) + " thread is timed out");
  }
}

bool NkSessionPoolManager::Sleep(const NkTimeout& timeout) {
  const NkDeadline deadline(timeout);
  const pthread_t self = pthread_self();
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t seen = wakeups_;
  sleeping_.push_back(self);
  bool woken = false;
  for (;;) {
    if (wakeups_ != seen) {
      woken = true;
      break;
    }
    if (IsCancelRequestedLocked(self)) {
      Erase(&sleeping_, self);
      AcknowledgeCancelLocked(self);
      base::NkLogDebug("NkPersistentPoolManager::Sleep - got event for a cancelation of " +
                       base::NkThreadText(self) + " thread");
      throw base::NkThreadCanceled("NkPersistentPoolManager::Sleep: thread has been canceled");
    }
    if (closed_) break;
    const NkTimeout left = deadline.Remaining();
    if (left.IsInfinite()) {
      cond_.wait(lock);
    } else if (left.IsZero()) {
      break;
    } else {
      cond_.wait_for(lock, std::chrono::milliseconds(left.GetMilliseconds()));
    }
  }
  Erase(&sleeping_, self);
  if (woken) base::NkLogDebug("NkPersistentPoolManager::Sleep(): go out with signal");
  return woken;
}

bool NkSessionPoolManager::WakeUpAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++wakeups_;
  base::NkLogDebug("WakeUpAll: num of sleeping threads =" + std::to_string(sleeping_.size()));
  cond_.notify_all();
  return true;
}

void NkSessionPoolManager::Pause(const NkTimeout& timeout) {
  const NkDeadline deadline(timeout);
  const pthread_t self = pthread_self();
  std::unique_lock<std::mutex> lock(mutex_);
  sleeping_.push_back(self);
  for (;;) {
    if (IsCancelRequestedLocked(self)) {
      Erase(&sleeping_, self);
      AcknowledgeCancelLocked(self);
      throw base::NkThreadCanceled("NkSessionPoolManager::Pause: thread has been canceled");
    }
    const NkTimeout left = deadline.Remaining();
    if (closed_ || left.IsZero()) break;
    if (left.IsInfinite()) {
      cond_.wait(lock);
    } else {
      cond_.wait_for(lock, std::chrono::milliseconds(left.GetMilliseconds()));
    }
  }
  Erase(&sleeping_, self);
}

void NkSessionPoolManager::SampleLocked(uint64_t current) {
  ++counters_.samples;
  counters_.sum += current;
  counters_.max_created = std::max(counters_.max_created, current);
}

void NkSessionPoolManager::WriteCounters(std::string* text) const {
  const int64_t seconds = base::NkTime::Now().GetSeconds() - start_time_.GetSeconds();
  const Counters& c = counters_;
  *text += "total created = " + std::to_string(c.created) + " (" + Rate(c.created, seconds) +
           " num/sec)\n";
  *text += "created on request = " + std::to_string(c.created_on_request) + " (" +
           Rate(c.created_on_request, seconds) + " num/sec)\n";
  *text += "closed by timeout = " + std::to_string(c.closed_by_timeout) + " (" +
           Rate(c.closed_by_timeout, seconds) + " num/sec)\n";
  *text += "avg number = " + std::to_string(c.samples == 0 ? 0 : c.sum / c.samples) + "\n";
  *text += "max cre = " + std::to_string(c.max_created) + " est=" +
           std::to_string(c.max_established) + " don=" + std::to_string(c.max_donor) +
           " act=" + std::to_string(c.max_active) + "\n";
}

bool NkSessionPoolManager::AppendStatistic(const std::string& path) {
  const base::NkTime now = base::NkTime::Now();
  int64_t period = now.GetSeconds() - start_time_.GetSeconds();
  if (period < 0) period = 0;
  std::string text(70, '=');
  text += "\n";
  text += "start:  " + start_time_.ToString() + "\n";
  text += "curr:   " + now.ToString() + "\n";
  text += "period: " + std::to_string(period / 86400) + "d " +
          std::to_string(period % 86400 / 3600) + "h " + std::to_string(period % 3600 / 60) +
          "m " + std::to_string(period % 60) + "s\n\n";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteCounters(&text);
  }
  FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) {
    base::NkLogError("Error in open file " + path + " for writing: " + base::NkErrorText(errno));
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int error = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    base::NkLogError("Error in open file " + path + " for writing: " +
                     base::NkErrorText(written ? errno : error));
    return false;
  }
  base::NkLogInfo("Success append ipc statistic to " + path + " file");
  return true;
}

}  // namespace ipc
}  // namespace norvak
