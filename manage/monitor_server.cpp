#include "manage/monitor_server.h"

#include <unistd.h>

#include <chrono>
#include <functional>
#include <utility>
#include <set>
#include <sstream>

#include "frame/log.h"
#include "frame/run_mode.h"
#include "ipc/nk_conn_settings.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_exception.h"
#include "ipc/nk_persistent_server_pool_manager.h"
#include "ipc/nk_timeout.h"
#include "manage/updater.h"

using norvak::base::NkTimeout;
using norvak::maild::NkPeer;
using norvak::maild::NkReloadCompServer;
using norvak::maild::NkUpdateResult;
using norvak::maild::NkUpdateServer;
using norvak::maild::NkControlAction;
using norvak::maild::NkControlResult;
using norvak::maild::NkControlServer;
using norvak::maild::NkStatusResult;
using norvak::maild::NkStatusServer;

namespace {

// Serving threads run nothing deep; a small stack keeps a burst of them
// cheap in address space.
const size_t kServingStack = 512 * 1024;

// Set while this serving thread is in an exchange.
thread_local bool tl_busy = false;

// Tells the server when one of its threads has taken a connection.
class ServingPool : public norvak::ipc::NkPersistentServerPoolManager {
 public:
  ServingPool(const norvak::ipc::ConnSettings& settings, std::function<void()> taken)
      : NkPersistentServerPoolManager(settings), taken_(std::move(taken)) {}

  norvak::ipc::NkIfIPCPtr AquireConnection(const norvak::base::NkDeadline& deadline) override {
    norvak::ipc::NkIfIPCPtr connection = NkPersistentServerPoolManager::AquireConnection(deadline);
    if (connection) taken_();
    return connection;
  }

 private:
  std::function<void()> taken_;
};

std::string protocolName(uint32_t protocol) {
  switch (protocol) {
    case NkReloadCompServer::kId:
      return "ReloadComp (8200)";
    case NkUpdateServer::kId:
      return "Update (8204)";
    case NkStatusServer::kId:
      return "Status (8300)";
    case NkControlServer::kId:
      return "Control (8301)";
    default:
      return "protocol " + std::to_string(protocol);
  }
}

}  // namespace

MonitorServer::MonitorServer(const std::string& confFile, const std::string& runList, bool update,
                             const Clock& clock)
    : ThreadSafetyMonitor(confFile, runList, update, clock),
      reloadCompServer_(
          [this](const std::vector<int32_t>& pids) { return reloadCompProcessor(pids); },
          [this](const norvak::ipc::NkIfIPC& connection) {
            return admit(NkReloadCompServer::kId, connection);
          }),
      updateServer_(
          [this](const std::string& packageDir, const std::string& argument,
                 const std::string& product) {
            return updateProcessor(packageDir, argument, product);
          },
          [this](const norvak::ipc::NkIfIPC& connection) {
            return admit(NkUpdateServer::kId, connection);
          }),
      statusServer_([this](const std::vector<std::string>& apps) { return statusProcessor(apps); },
                    [this](const norvak::ipc::NkIfIPC& connection) {
                      return admit(NkStatusServer::kId, connection);
                    }),
      controlServer_(
          [this](NkControlAction action, const std::string& app) {
            return controlProcessor(action, app);
          },
          [this](const norvak::ipc::NkIfIPC& connection) {
            return admit(NkControlServer::kId, connection);
          }) {}

MonitorServer::~MonitorServer() {
  logDebug("MonitorServer::~MonitorServer()");
  MonitorServer::stop();
}

void MonitorServer::start() {
  const std::list<std::string>& addresses = settings().getAddressList();
  if (!addresses.empty() && !isCheckMode()) createSession(addresses, settings().getTimeout());
  Monitor::start();
  // Monitor::start leaves the state STOPPED when a stop was asked for
  // meanwhile; then there is nothing to serve.
  if (session_ && isRunning()) startThreads();
  // The agent may have changed the mail settings during the start.
  refreshNotifySettings();
}

void MonitorServer::startThreads() {
  std::lock_guard<std::mutex> lock(serveMutex_);
  for (int i = 0; i < kSpareThreads; ++i) {
    logDebug("MonitorServer::start: creating thread monitorProtoThread");
    std::string failure;
    if (!addThread(&failure))
      throw InitError("cannot create monitorProtoThread thread: " + failure);
    std::ostringstream id;
    id << protoThreads_.back().native_handle();
    logDebug("MonitorServer::start: created thread monitorProtoThread: id=" + id.str());
  }
}

bool MonitorServer::addThread(std::string* failure) {
  try {
    boost::thread::attributes attributes;
    attributes.set_stack_size(kServingStack);
    protoThreads_.emplace_back(attributes, [this] { monitorProtoThread(); });
    return true;
  } catch (const std::exception& e) {
    *failure = e.what();
    return false;
  }
}

void MonitorServer::exchangeBegins() {
  tl_busy = true;
  std::lock_guard<std::mutex> lock(serveMutex_);
  ++busy_;
  const int threads = static_cast<int>(protoThreads_.size());
  if (stopping_ || busy_ < threads || threads >= kMaxServingThreads) return;
  std::string failure;
  if (addThread(&failure)) {
    logDebug("MonitorServer: all " + std::to_string(threads) +
             " serving threads are busy, one more added");
  } else {
    logError("cannot create monitorProtoThread thread: " + failure);
  }
}

void MonitorServer::stop() {
  logDebug("MonitorServer::stop()");
  try {
    Monitor::stop();
  } catch (const std::exception& e) {
    logError(e.what());
  }
  destroySession();
}

void MonitorServer::createSession(const std::list<std::string>& addresses, int timeoutSeconds) {
  try {
    // Idle connections expire after the time-out: a client that connects
    // and says nothing holds its connection no longer than one that stalls
    // in the middle of a request.
    auto pool =
        std::make_shared<ServingPool>(norvak::ipc::ConnSettings(0, kMaxConnections, timeoutSeconds),
                                      [this] { exchangeBegins(); });
    session_ = std::make_unique<norvak::ipc::NkServerSession>(pool);
    session_->Register(&reloadCompServer_);
    session_->Register(&updateServer_);
    session_->Register(&statusServer_);
    session_->Register(&controlServer_);
    timeoutSeconds_ = timeoutSeconds;
    const NkTimeout timeout = NkTimeout::Seconds(static_cast<uint32_t>(timeoutSeconds));
    session_->SetTimeout(timeout);
    updateServer_.SetReplyTimeout(timeout);
    statusServer_.SetReplyTimeout(timeout);
    controlServer_.SetReplyTimeout(timeout);
    session_->Open(std::vector<std::string>(addresses.begin(), addresses.end()));
  } catch (const std::exception& e) {
    destroySession();
    std::string joined;
    for (const std::string& address : addresses) {
      if (!joined.empty()) joined += ",";
      joined += address;
    }
    throw InitError("cannot create server session (" + joined + "): " + e.what());
  }
}

void MonitorServer::destroySession() {
  {
    std::lock_guard<std::mutex> lock(serveMutex_);
    stopping_ = true;
  }
  serveCond_.notify_all();
  if (session_) {
    // A pre-update script would otherwise hold its thread, and the stop,
    // until its own limit.
    if (!protoThreads_.empty()) Updater::instance().abortRunning();
    // No thread is added once stopping_ is set: the list stays as it is.
    for (boost::thread& thread : protoThreads_) {
      if (thread.joinable()) session_->CancelOperation(thread.native_handle());
    }
    try {
      session_->Close();
    } catch (const std::exception& e) {
      logDebug(std::string("MonitorServer::stop(): ") + e.what());
    }
  }
  if (!protoThreads_.empty()) {
    logDebug("MonitorServer::stop(): joining monitorProtoThread");
    for (boost::thread& thread : protoThreads_) {
      if (thread.joinable()) thread.join();
    }
    protoThreads_.clear();
    logDebug("MonitorServer::stop(): monitorProtoThread joined");
  }
  // Deleted only now: until joined, the threads use it.
  session_.reset();
}

void MonitorServer::monitorProtoThread() {
  // Started once the state is STARTED; ends when it is not any more or when
  // stop() says so (which also wakes it from waiting for a request).
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(serveMutex_);
      if (stopping_ || !isRunning()) return;
    }
    bool canceled = false;
    try {
      session_->Execute(nullptr, norvak::base::NkDeadline());
    } catch (const norvak::base::NkThreadCanceled&) {
      canceled = true;
    } catch (const std::exception&) {
      // One client's failure; the session has dropped its connection.
    }
    std::unique_lock<std::mutex> lock(serveMutex_);
    if (tl_busy) {
      tl_busy = false;
      --busy_;
    }
    // The session is closing under this thread: stop() is on its way.
    if (canceled)
      serveCond_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; });
  }
}

std::string MonitorServer::refusal(uint32_t protocol, const NkPeer& peer, uid_t ownUid) {
  switch (peer.transport) {
    case NkPeer::kLocal:
      if (!peer.has_credentials) return "the peer's credentials are unknown";
      if (peer.uid == 0 || peer.uid == ownUid) return std::string();
      return "uid " + std::to_string(peer.uid) + " is neither root nor the monitor's user (uid " +
             std::to_string(ownUid) + ")";
    case NkPeer::kInet:
      if (protocol == NkReloadCompServer::kId || peer.loopback) return std::string();
      if (protocol == NkUpdateServer::kId)
        return "updates over TCP are taken from the loopback interface only";
      return "status and control over TCP are taken from the loopback interface only";
    case NkPeer::kUnknown:
      break;
  }
  return "the peer cannot be identified";
}

std::string MonitorServer::admit(uint32_t protocol, const norvak::ipc::NkIfIPC& connection) {
  const NkPeer peer = norvak::maild::NkIdentifyPeer(connection.GetHandle());
  const std::string reason = refusal(protocol, peer, geteuid());
  if (reason.empty()) return reason;
  logAlert("management request refused: " + protocolName(protocol) + " from " + peer.ToString() +
           ": " + reason);
  if (protocol == NkStatusServer::kId || protocol == NkControlServer::kId)
    return "request refused: " + reason;
  return "update refused: " + reason;
}

bool MonitorServer::reloadCompProcessor(const std::vector<int32_t>& pids) {
  logDebug("MonitorServer::reloadCompProcessor()");
  std::set<pid_t> collected;
  for (int32_t pid : pids) {
    // 0 and negative numbers name process groups, or every process, to kill().
    if (pid <= 0) {
      logAlert("reload request for pid = " + std::to_string(pid) + " ignored");
      continue;
    }
    logDebug("reload component with pid = " + std::to_string(pid));
    collected.insert(pid);
  }
  return Mediator::instance().addChangedConf(collected);
}

NkUpdateResult MonitorServer::updateProcessor(const std::string& packageDir,
                                              const std::string& argument,
                                              const std::string& product) {
  logDebug("updateProcessor() " + Updater::printable(packageDir) + ", " +
           Updater::printable(argument) + ", " + Updater::printable(product));
  const Mediator& mediator = Mediator::instance();
  const Updater::Result result = Updater::instance().PreUpdate(
      packageDir, argument, product, mediator.mta(), mediator.userGroup());
  // The post-update script runs from the loop, once this answer is on its
  // way.
  if (result.ok) post([] { Updater::instance().PostUpdate(); });
  NkUpdateResult answer;
  answer.ok = result.ok;
  answer.message = result.message;
  return answer;
}

NkStatusResult MonitorServer::statusProcessor(const std::vector<std::string>& apps) {
  auto job = std::make_shared<AdminJob>();
  job->kind = AdminJob::kStatus;
  job->names = apps;
  NkStatusResult answer;
  if (!runAdminJob(job, timeoutSeconds_)) {
    answer.message = "the monitor did not answer within " + std::to_string(timeoutSeconds_) + " s";
    return answer;
  }
  return wireStatus(job->status);
}

NkStatusResult MonitorServer::wireStatus(const SuiteStatus& status) {
  using State = SuiteStatus::Component::State;
  NkStatusResult answer;
  answer.ok = status.ok;
  answer.message = status.message;
  for (const SuiteStatus::Application& app : status.apps) {
    norvak::maild::NkAppStatus a;
    a.name = app.name;
    a.fullName = app.fullName;
    a.running = app.running;
    a.adminStopped = app.adminStopped;
    a.dependencies = app.dependencies;
    for (const SuiteStatus::Component& comp : app.components) {
      norvak::maild::NkCompStatus c;
      c.name = comp.name;
      c.pid = comp.pid;
      c.startTime = comp.startTime;
      c.restarts = comp.restarts;
      c.nextTry = comp.nextTry;
      c.lastFaultTime = comp.lastFaultTime;
      c.lastFaultCause = comp.lastFaultCause;
      switch (comp.state) {
        case State::kRunning:
          c.state = norvak::maild::kRunningState;
          break;
        case State::kStarting:
          c.state = norvak::maild::kStartingState;
          break;
        case State::kGivenUp:
          c.state = norvak::maild::kGivenUpState;
          break;
        case State::kWaiting:
          c.state = norvak::maild::kWaitingState;
          break;
        case State::kFailed:
          c.state = norvak::maild::kFailedState;
          break;
        case State::kStopped:
          c.state = norvak::maild::kStoppedState;
          break;
      }
      a.components.push_back(std::move(c));
    }
    answer.apps.push_back(std::move(a));
  }
  return answer;
}

NkControlResult MonitorServer::controlProcessor(NkControlAction action, const std::string& app) {
  auto job = std::make_shared<AdminJob>();
  switch (action) {
    case NkControlAction::kStart:
      job->kind = AdminJob::kStart;
      break;
    case NkControlAction::kStop:
      job->kind = AdminJob::kStop;
      break;
    case NkControlAction::kRestart:
      job->kind = AdminJob::kRestart;
      break;
  }
  job->names.push_back(app);
  NkControlResult answer;
  if (!runAdminJob(job, timeoutSeconds_)) {
    answer.message = "not done within " + std::to_string(timeoutSeconds_) +
                     " s; the monitor goes on with it";
    return answer;
  }
  answer.ok = job->ok;
  answer.message = job->message;
  return answer;
}
