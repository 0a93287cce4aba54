#include "nk_persistent_client_pool_manager.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>

#include "nk_exception.h"
#include "nk_log.h"

namespace norvak {
namespace ipc {

using base::NkDeadline;
using base::NkTimeout;

namespace {

bool Remove(std::vector<NkIfIPCPtr>* pool, const NkIfIPC* connection) {
  auto found = std::find_if(pool->begin(), pool->end(),
                            [connection](const NkIfIPCPtr& c) { return c.get() == connection; });
  if (found == pool->end()) return false;
  pool->erase(found);
  return true;
}

#ifdef POLLRDHUP
constexpr short kHangUpEvents = POLLRDHUP;
#else
constexpr short kHangUpEvents = POLLIN;
#endif

std::string Flag(bool value) { return value ? "true" : "false"; }

}  // namespace

NkPersistentClientPoolManager::NkPersistentClientPoolManager(const ConnSettings& settings)
    : NkPersistentPoolManager(kClient, settings) {}

NkPersistentClientPoolManager::~NkPersistentClientPoolManager() { Close(); }

std::string NkPersistentClientPoolManager::StartLine() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string addresses;
  for (const std::string& address : addresses_) {
    if (!addresses.empty()) addresses += ",";
    addresses += address;
  }
  return "NkPersistentClientPoolManager has started for (" + addresses +
         ", supported=" + std::to_string(settings_.max_connections) +
         ", e=" + std::to_string(settings_.min_connections) +
         ", a=" + std::to_string(busy_.size()) + ", curr=" + std::to_string(ready_.size()) +
         ", total=" + std::to_string(total_) + ") connections ...";
}

bool NkPersistentClientPoolManager::Init(const std::vector<std::string>& addresses) {
  if (addresses.empty()) {
    base::NkLogError("NkPersistentClientPoolManager::Init - no address to connect to");
    return false;
  }
  ConnSettings settings;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses_ = addresses;
    next_address_ = 0;
    closed_ = false;
    suspended_ = false;
    settings = settings_;
  }
  StartMaintenance();
  const uint32_t count = settings.min_connections;
  if (!CreatePool(count, count > 0, count == 0)) {
    Close();
    return false;
  }
  base::NkLogDebug(StartLine());
  return true;
}

bool NkPersistentClientPoolManager::Reinit(const std::vector<std::string>& addresses) {
  if (addresses.empty()) {
    base::NkLogError("NkPersistentClientPoolManager::Reinit - no address to connect to");
    return false;
  }
  std::vector<NkIfIPCPtr> old;
  ConnSettings settings;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses_ = addresses;
    next_address_ = 0;
    old.swap(ready_);
    for (const NkIfIPCPtr& connection : old) DropLocked(connection.get());
    for (const NkIfIPCPtr& connection : busy_) retired_.insert(connection.get());
    settings = settings_;
  }
  for (const NkIfIPCPtr& connection : old) connection->Close();
  event_.Broadcast(kEventStateChanged);
  GetControl().Send(NkControl::kRebuild);
  const uint32_t count = settings.min_connections;
  return CreatePool(count, count > 0, count == 0);
}

bool NkPersistentClientPoolManager::CreatePool(uint32_t count, bool at_least_one,
                                               bool ok_if_none) {
  base::NkLogDebug("CreatePool: should creates " + std::to_string(count) +
                   " new connections (bAtLeastOne=" + Flag(at_least_one) +
                   " bOkIfNoConnections=" + Flag(ok_if_none) + ")");
  uint32_t made = 0;
  for (uint32_t i = 0; i < count; ++i) {
    NkIfIPCPtr connection;
    try {
      connection = CreateClientConnection(NkDeadline(GetConnectTimeout()));
    } catch (const std::exception& e) {
      base::NkLogError(
          std::string("NkPersistentClientPoolManager::_CreateDonorPool: create connection error:") +
          e.what());
      // Every address has just been tried: more attempts would only wait
      // out the same failures.
      break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.push_back(connection);
    ++total_;
    SampleLocked(total_);
    UpdateMaximaLocked();
    ++made;
    base::NkLogDebug("CreatePool: " + connection->GetDescription() + " is placed into the r-pool");
    base::NkLogDebug("NkPersistentClientPoolManager: inc total connection =" +
                     std::to_string(total_));
  }
  if (made > 0) {
    GetControl().Send(NkControl::kRebuild);
    event_.Broadcast(kEventReady);
  }
  return made > 0 || ok_if_none || (count == 0 && !at_least_one);
}

void NkPersistentClientPoolManager::DropLocked(const NkIfIPC* connection) {
  if (total_ > 0) --total_;
  donors_.erase(connection);
  retired_.erase(connection);
  watched_.erase(connection);
}

void NkPersistentClientPoolManager::UpdateMaximaLocked() {
  counters_.max_created = std::max<uint64_t>(counters_.max_created, total_);
  counters_.max_established = std::max<uint64_t>(counters_.max_established, ready_.size());
  counters_.max_donor = std::max<uint64_t>(counters_.max_donor, donors_.size());
  counters_.max_active = std::max<uint64_t>(counters_.max_active, busy_.size());
}

NkIfIPCPtr NkPersistentClientPoolManager::TakeReadyLocked() {
  while (!ready_.empty()) {
    NkIfIPCPtr connection = std::move(ready_.back());
    ready_.pop_back();
    // The poller only watches for hang-ups; anything else the server sent
    // unasked would be read as the next reply.
    if (PeekState(connection->GetHandle()) >= 0) {
      DropLocked(connection.get());
      base::NkLogAlert("NkPersistentClientPoolManager: " + connection->GetDescription() +
                       " is probably broken (unexpected input) make pause...");
      connection->Close();
      GetControl().Send(NkControl::kClosed);
      continue;
    }
    busy_.push_back(connection);
    UpdateMaximaLocked();
    return connection;
  }
  return NkIfIPCPtr();
}

bool NkPersistentClientPoolManager::MayCreateLocked() {
  const uint32_t max = settings_.max_connections;
  if (max != 0 && total_ + creating_ >= max) return false;
  ++creating_;
  ++requests_;
  base::NkLogInfo("NkPersistentClientPoolManager: request for new connection (" +
                  std::to_string(total_) + "/" + std::to_string(requests_) + "/" +
                  std::to_string(max) + ")");
  return true;
}

NkIfIPCPtr NkPersistentClientPoolManager::CreateOnRequest(const NkDeadline& deadline) {
  NkIfIPCPtr connection;
  try {
    connection = CreateClientConnection(deadline);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    --creating_;
    --requests_;
    throw;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  --creating_;
  --requests_;
  if (closed_) {
    lock.unlock();
    connection->Close();
    throw base::NkThreadCanceled("PP-Manager::GetReady: thread has been canceled");
  }
  ++total_;
  ++counters_.created_on_request;
  donors_.insert(connection.get());
  busy_.push_back(connection);
  SampleLocked(total_);
  UpdateMaximaLocked();
  base::NkLogDebug("CreateDonorPool: " + connection->GetDescription() +
                   " is placed into the b-pool");
  base::NkLogDebug("NkPersistentClientPoolManager: inc total connection =" +
                   std::to_string(total_));
  return connection;
}

void NkPersistentClientPoolManager::ReleaseConnection(const NkIfIPCPtr& connection) {
  if (!connection) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!Remove(&busy_, connection.get())) {
    lock.unlock();
    base::NkLogAlert("PCP-Manager::ReleaseConnection - can`t release " +
                     connection->GetDescription());
    connection->Close();
    return;
  }
  const bool retired = retired_.count(connection.get()) != 0;
  const uint32_t max = settings_.max_connections;
  const bool surplus = max != 0 && total_ > max;
  if (closed_ || retired || surplus || connection->GetHandle() < 0) {
    DropLocked(connection.get());
    const uint32_t total = total_;
    lock.unlock();
    connection->Close();
    base::NkLogDebug("NkPersistentClientPoolManager: dec total connection =" +
                     std::to_string(total));
    event_.Set(kEventClosed);
    return;
  }
  ready_.push_back(connection);
  UpdateMaximaLocked();
  const bool watched = watched_.count(connection.get()) != 0;
  lock.unlock();
  event_.Set(kEventReady);
  if (!watched) GetControl().Send(NkControl::kReleased);
}

void NkPersistentClientPoolManager::CloseConnection(const NkIfIPCPtr& connection) {
  if (!connection) return;
  std::unique_lock<std::mutex> lock(mutex_);
  const bool known = Remove(&busy_, connection.get()) || Remove(&ready_, connection.get());
  if (known) DropLocked(connection.get());
  const uint32_t total = total_;
  lock.unlock();
  connection->Close();
  if (!known) return;
  base::NkLogDebug("NkPersistentClientPoolManager: dec total connection =" +
                   std::to_string(total));
  GetControl().Send(NkControl::kClosed);
  event_.Set(kEventClosed);
}

void NkPersistentClientPoolManager::CorrectConnectionsNum(const ConnSettings& settings) {
  settings.Check();
  std::vector<NkIfIPCPtr> surplus;
  uint32_t missing = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    base::NkLogDebug("CorrectConnectionsNum - number of connection changed from (" +
                     std::to_string(settings_.min_connections) + "/" +
                     std::to_string(settings_.max_connections) + ") to (" +
                     std::to_string(settings.min_connections) + "/" +
                     std::to_string(settings.max_connections) + ")");
    settings_ = settings;
    // The oldest idle connections go first.
    while (settings.max_connections != 0 && total_ > settings.max_connections &&
           !ready_.empty()) {
      surplus.push_back(ready_.front());
      ready_.erase(ready_.begin());
      DropLocked(surplus.back().get());
    }
    if (!closed_ && total_ + creating_ < settings.min_connections) {
      missing = settings.min_connections - total_ - creating_;
    }
  }
  for (const NkIfIPCPtr& connection : surplus) connection->Close();
  if (!surplus.empty()) GetControl().Send(NkControl::kClosed);
  if (missing > 0) CreatePool(missing, false, true);
  // Waiters re-check: a higher maximum may let them create a connection.
  event_.Broadcast(kEventClosed);
}

NkTimeout NkPersistentClientPoolManager::BuildWaitListLocked(
    std::vector<pollfd>* entries, std::vector<NkIfIPCPtr>* connections) {
  NkTimeout timeout = base::kNkInfiniteTimeout;
  watched_.clear();
  for (const NkIfIPCPtr& connection : ready_) {
    // The server closing an idle connection. Plain input is not watched: a
    // connection stays in this poll while it is handed out (so that handing
    // it back costs no rebuild), and its replies must not wake the poller;
    // stray input on an idle one is caught when it is taken.
    entries->push_back(pollfd{connection->GetHandle(), kHangUpEvents, 0});
    connections->push_back(connection);
    watched_.insert(connection.get());
    timeout = std::min(timeout, connection->GetExpiry().Remaining());
  }
  return timeout;
}

void NkPersistentClientPoolManager::OnTimeout() {
  std::vector<NkIfIPCPtr> expired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = ready_.begin(); it != ready_.end();) {
      if ((*it)->GetExpiry().IsPassed()) {
        expired.push_back(*it);
        DropLocked(it->get());
        it = ready_.erase(it);
      } else {
        ++it;
      }
    }
    counters_.closed_by_timeout += expired.size();
  }
  for (const NkIfIPCPtr& connection : expired) {
    base::NkLogDebug("NkPersistentClientPoolManager: Remove by timeout " +
                     connection->GetDescription());
    connection->Close();
  }
  if (!expired.empty()) event_.Set(kEventClosed);
}

void NkPersistentClientPoolManager::OnReady(const NkIfIPCPtr& connection, short revents) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Handed out since the wait list was built: its owner reads the input.
    if (!Remove(&ready_, connection.get())) return;
    DropLocked(connection.get());
  }
  if (revents & (POLLIN | POLLHUP | kHangUpEvents)) {
    base::NkLogAlert("NkPersistentClientPoolManager: " + connection->GetDescription() +
                     " has been broken/closed on server side (poll revent=0x" +
                     base::NkHexText(static_cast<uint16_t>(revents)) + ") make pause...");
  } else {
    base::NkLogAlert("NkPersistentClientPoolManager: " + connection->GetDescription() +
                     " is probably broken (event=0x" + base::NkHexText(static_cast<uint16_t>(revents)) +
                     ") make pause...");
  }
  connection->Close();
  event_.Set(kEventClosed);
}

void NkPersistentClientPoolManager::CloseAll() {
  std::vector<NkIfIPCPtr> idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle.swap(ready_);
    for (const NkIfIPCPtr& connection : idle) DropLocked(connection.get());
    // Threads still exchanging on these learn at once that the pool is gone;
    // the connections are closed when they come back.
    for (const NkIfIPCPtr& connection : busy_) {
      if (connection->GetHandle() >= 0) shutdown(connection->GetHandle(), SHUT_RDWR);
    }
  }
  for (const NkIfIPCPtr& connection : idle) connection->Close();
}

size_t NkPersistentClientPoolManager::GetReadyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ready_.size();
}

size_t NkPersistentClientPoolManager::GetBusyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_.size();
}

uint32_t NkPersistentClientPoolManager::GetTotal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

}  // namespace ipc
}  // namespace norvak
