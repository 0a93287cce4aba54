#include "agent/agent_link.h"

#include <utility>

#include "frame/log.h"
#include "ipc/nk_conn_settings.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_persistent_client_pool_manager.h"
#include "ipc/nk_timeout.h"
#include "agent/agent_notifier.h"
#include "protocols/nk_start_app.h"
#include "protocols/nk_stop_app.h"

using norvak::ipc::NkClientSession;
using SessionPtr = std::shared_ptr<NkClientSession>;

AgentLink::AgentLink() {}

AgentLink::~AgentLink() { close(); }

void AgentLink::configure(const std::string& address, int responseTimeSeconds) {
  SessionPtr old;
  std::lock_guard<std::mutex> lock(mutex_);
  // A session to the former address must not carry what is meant for the
  // new one, nor anything once there is no agent at all.
  if (address != address_) {
    ++generation_;
    old = std::move(session_);
  }
  address_ = address;
  responseTime_ = responseTimeSeconds;
}

int AgentLink::responseTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return responseTime_;
}

SessionPtr AgentLink::connect(bool loud) {
  std::string address;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (session_) return session_;
    address = address_;
    generation = generation_;
  }
  if (address.empty()) return SessionPtr();
  // Opened without the lock: connecting may take up to the library's
  // connect time-out, and the other thread must not wait for that.
  SessionPtr made;
  try {
    made = std::make_shared<NkClientSession>(
        std::make_shared<norvak::ipc::NkPersistentClientPoolManager>(norvak::ipc::ConnSettings(1)));
    made->Open(address);
  } catch (const std::exception& e) {
    if (loud) {
      logError("error conect to agent");
    } else {
      logDebug(std::string("error conect to agent: ") + e.what());
    }
    return SessionPtr();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (session_) return session_;
  if (generation != generation_) return SessionPtr();
  session_ = made;
  return session_;
}

SessionPtr AgentLink::session() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_;
}

void AgentLink::drop() {
  SessionPtr old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(session_);
    ++generation_;
  }
  // Destroyed here unless an exchange still holds it.
}

void AgentLink::close() {
  SessionPtr old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(session_);
    ++generation_;
    // Until configured again nothing connects: a notice being retried must
    // not open a new session behind the closing one.
    address_.clear();
  }
  if (!old) return;
  try {
    old->Close();
  } catch (const std::exception& e) {
    logDebug(std::string("AgentLink::close: ") + e.what());
  }
}

void AgentLink::dropIf(const SessionPtr& failed) {
  SessionPtr old;
  std::lock_guard<std::mutex> lock(mutex_);
  if (session_ != failed) return;
  old = std::move(session_);
  ++generation_;
}

bool AgentLink::notify(const AgentNotice& notice) {
  SessionPtr session = connect(false);
  if (!session) return false;
  const norvak::base::NkDeadline deadline(
      norvak::base::NkTimeout::Seconds(static_cast<uint32_t>(responseTime())));
  bool sent = false;
  try {
    if (notice.kind == AgentNotice::kStartApp) {
      norvak::maild::NkStartAppClient request(notice.app, notice.pid, notice.permissions,
                                              notice.arguments);
      sent = session->Execute(&request, deadline);
    } else {
      norvak::maild::NkStopAppClient request(notice.app, notice.pid);
      sent = session->Execute(&request, deadline);
    }
  } catch (const std::exception& e) {
    logDebug(notice.describe() + " to the agent: " + e.what());
  }
  if (!sent) dropIf(session);
  return sent;
}
