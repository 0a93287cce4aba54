#include "nk_session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <exception>
#include <fstream>

#include "nk_blocking_connection.h"
#include "nk_exception.h"
#include "nk_ipc_error.h"
#include "nk_ipc_factory.h"
#include "nk_log.h"
#include "nk_session_state.h"
#include "nk_session_state_table.h"

namespace norvak {
namespace ipc {

using base::NkDeadline;
using base::NkTimeout;

namespace {

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n\f\v";
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A pid file line "host:port" → "inet:port@host". Brackets around an IPv6
// host are dropped: the resolver wants the bare address.
std::string InetFromHostPort(const std::string& line, size_t colon) {
  std::string host = line.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return "inet:" + line.substr(colon + 1) + "@" + host;
}

}  // namespace

NkSession::NkSession(std::shared_ptr<NkIfSessionPoolManager> pool_manager)
    : pool_(std::move(pool_manager)), state_(NkSessionStateTable::Initial()) {
  if (!pool_) {
    base::NkLogError("Session::ctor - a null pointer to a pool manager");
    throw base::NkParameterError("Session::ctor", "PoolManager", "null");
  }
}

NkSession::~NkSession() { Destroy(); }

void NkSession::Destroy() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!terminated_) {
    destroyed_ = true;
    try {
      state_->Terminate(*this);
    } catch (const std::exception& e) {
      base::NkLogDebug(std::string("Session::Destroy - ") + e.what());
    }
    // Whatever the state said, nothing may use this session any more.
    SetState(NkSessionStateTable::Terminal());
    terminated_ = true;
  }
  cond_.wait(lock, [this] { return executions_ == 0; });
}

void NkSession::Open(const std::vector<std::string>& addresses) {
  base::NkLogDebug("Session::Open()");
  std::vector<std::string> resolved = ResolveAddresses(addresses);
  std::lock_guard<std::mutex> lock(mutex_);
  state_->Open(*this, resolved);
  addresses_ = resolved;
}

void NkSession::Open(const std::string& address) {
  Open(std::vector<std::string>{address});
}

void NkSession::Close() {
  base::NkLogDebug("Session::Close()");
  std::lock_guard<std::mutex> lock(mutex_);
  state_->Close(*this);
}

void NkSession::Suspend() {
  base::NkLogDebug("Session::Suspend()");
  std::lock_guard<std::mutex> lock(mutex_);
  state_->Suspend(*this);
}

void NkSession::Resume() {
  base::NkLogDebug("Session::Resume()");
  std::lock_guard<std::mutex> lock(mutex_);
  state_->Resume(*this);
}

bool NkSession::WakeUp() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->WakeUp(*this);
}

void NkSession::SetTimeout(const NkTimeout& timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeout_ = timeout;
}

NkTimeout NkSession::GetTimeout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeout_;
}

void NkSession::CancelOperation(pthread_t thread) {
  // Not under the session mutex: the pool waits a little for the thread to
  // acknowledge, and that thread needs the mutex on its way out.
  pool_->CancelThread(thread);
}

bool NkSession::AppendStatistic(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->AppendStatistic(*this, path);
}

std::string NkSession::GetStateName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->GetName();
}

uint32_t NkSession::GetExecutionsCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return executions_;
}

std::vector<std::string> NkSession::GetAddresses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return addresses_;
}

void NkSession::SetState(NkSessionState* state) {
  if (base::NkLogEnabled(base::NK_LOG_DEBUG)) {
    base::NkLogDebug("Session::SetState " + state_->GetName() + " -> " + state->GetName());
  }
  state_ = state;
  cond_.notify_all();
}

bool NkSession::WaitForStateChange(const NkSessionState* from, const NkDeadline& deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (state_ == from) {
    NkTimeout left = deadline.Remaining();
    if (left.IsInfinite()) {
      cond_.wait(lock);
    } else if (left.IsZero()) {
      return false;
    } else {
      cond_.wait_for(lock, std::chrono::milliseconds(left.GetMilliseconds()));
    }
  }
  return true;
}

NkSessionState* NkSession::CurrentState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void NkSession::ReturnConnection(const NkIfIPCPtr& connection) {
  try {
    CurrentState()->ReleaseConnection(*this, connection);
  } catch (const std::exception& e) {
    base::NkLogDebug(std::string("Session::ReturnConnection - ") + e.what());
    DiscardConnection(connection);
  }
}

void NkSession::DiscardConnection(const NkIfIPCPtr& connection) {
  try {
    pool_->CloseConnection(connection);
  } catch (const std::exception& e) {
    base::NkLogDebug(std::string("Session::DiscardConnection - ") + e.what());
    connection->Close();
  }
}

NkDeadline NkSession::EffectiveDeadline(const NkDeadline& deadline) const {
  NkTimeout own = GetTimeout();
  if (own.IsInfinite()) return deadline;
  NkDeadline from_own(own);
  return from_own < deadline ? from_own : deadline;
}

std::string NkSession::AddressesText() const {
  std::string text;
  for (const std::string& address : GetAddresses()) {
    if (!text.empty()) text += ", ";
    text += address;
  }
  return text;
}

NkSession::ExecutionScope::ExecutionScope(NkSession& session) : session_(session) {
  std::lock_guard<std::mutex> lock(session_.mutex_);
  if (session_.destroyed_) {
    throw base::NkThreadCanceled("RefCounter: thread has been canceled");
  }
  ++session_.executions_;
}

NkSession::ExecutionScope::~ExecutionScope() {
  std::lock_guard<std::mutex> lock(session_.mutex_);
  --session_.executions_;
  session_.cond_.notify_all();
}

bool NkSession::Perform(NkProtocol* protocol, const NkDeadline& deadline) {
  const bool covers_wait = TimeoutCoversWait();
  const NkDeadline wait_limit = covers_wait ? EffectiveDeadline(deadline) : deadline;
  for (;;) {
    try {
      Connection::BlockingConnection connection(
          *this, CurrentState()->AquireConnection(*this, wait_limit));
      if (!connection.Get()) throw base::NkException("Session::Execute - no connection");
      const NkDeadline limit = covers_wait ? wait_limit : EffectiveDeadline(deadline);
      if (!Exchange(protocol, connection.Get(), limit)) {
        connection.Discard();
        return false;
      }
      return true;
    } catch (const base::NkNeedRecall&) {
      base::NkLogDebug("Session::Execute - a state has been changed, call again");
    } catch (const base::NkTimedOut& e) {
      ++timed_out_;
      LogFailure("error for address(es) [" + AddressesText() + "]: " + e.what());
      throw;
    } catch (const base::NkSessionDestroyed& e) {
      base::NkLogDebug(std::string("Session::Execute (session destroyed)-") + e.what());
      throw;
    } catch (const base::NkThreadCanceled& e) {
      base::NkLogDebug(std::string("Session::Execute - ") + e.what());
      throw;
    } catch (const std::exception& e) {
      LogFailure("error for address(es) [" + AddressesText() + "]: " + e.what());
      throw;
    }
  }
}

void NkSession::LogFailure(const std::string& text) const { base::NkLogError(text); }

std::vector<std::string> NkSession::ResolveAddresses(const std::vector<std::string>& entries) {
  std::vector<std::string> resolved;
  for (const std::string& entry : entries) {
    size_t colon = entry.find(':');
    if (colon != std::string::npos && Lower(Trim(entry.substr(0, colon))) == "pid") {
      std::vector<std::string> listed = ParsePidFile(entry.substr(colon + 1));
      resolved.insert(resolved.end(), listed.begin(), listed.end());
      continue;
    }
    NkIpcAddressPtr address = CreateAddress(entry);
    if (!address) {
      base::NkLogError("can`t create incorrect address: " + entry);
      throw NkIpcError("Session::Open: ", "cannot get remote address");
    }
    // The address text as given, not the rebuilt one: the pool parses it again and
    // the text form of a TCP address is not parsable.
    resolved.push_back(address->GetSpec());
  }
  return resolved;
}

std::vector<std::string> NkSession::ParsePidFile(const std::string& path) {
  base::NkLogDebug("ParsePidFile: parse pid file '" + path + "'...");
  std::vector<std::string> found;
  try {
    std::ifstream file(path);
    if (!file) {
      int error = errno;
      throw base::NkException("can not open file for reading:" + base::NkErrorText(error));
    }
    std::string line;
    if (!std::getline(file, line)) throw base::NkException("can not find pid number");
    while (std::getline(file, line)) {
      line = Trim(line);
      if (line.empty()) continue;
      size_t colon = line.rfind(':');
      std::string address =
          colon == std::string::npos ? "local:" + line : InetFromHostPort(line, colon);
      base::NkLogDebug("ParsePidFile: add address '" + address + "' from pid file");
      found.push_back(address);
    }
    if (file.bad()) throw base::NkException("read error:" + base::NkErrorText(errno));
  } catch (const std::exception& e) {
    base::NkLogError("Error during load and parse pid file '" + path + "': " + e.what());
    return {};
  }
  if (found.empty()) {
    base::NkLogAlert("Can not find any address in pid file '" + path + "'");
  } else {
    base::NkLogDebug("ParsePidFile: success parse pid file");
  }
  return found;
}

}  // namespace ipc
}  // namespace norvak
