#include "manage/monitor_server.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>
#include <set>
#include <sstream>
#include <vector>

#include "frame/log.h"
#include "frame/log_class.h"
#include "frame/run_mode.h"
#include "ipc/nk_conn_settings.h"
#include "ipc/nk_deadline.h"
#include "ipc/nk_exception.h"
#include "ipc/nk_persistent_server_pool_manager.h"
#include "ipc/nk_timeout.h"
#include "manage/updater.h"

using norvak::base::NkTimeout;
using norvak::maild::NkAccessScope;
using norvak::maild::NkPeer;
using norvak::maild::NkRequest;
using norvak::maild::NkStanding;
using norvak::maild::NkReloadCompServer;
using norvak::maild::NkUpdateResult;
using norvak::maild::NkUpdateServer;
using norvak::maild::NkControlAction;
using norvak::maild::NkControlResult;
using norvak::maild::NkControlServer;
using norvak::maild::NkStatusResult;
using norvak::maild::NkStatusServer;
using norvak::maild::NkLogsRequest;
using norvak::maild::NkLogsResult;
using norvak::maild::NkLogsServer;

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
    case NkLogsServer::kId:
      return "Logs (8303)";
    default:
      return "protocol " + std::to_string(protocol);
  }
}

// A component without a user runs as the monitor; one whose user is gone
// runs as nobody this peer could be.
uid_t uidOf(const std::string& user, uid_t own) {
  if (user.empty()) return own;
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return static_cast<uid_t>(-1);
  return found->pw_uid;
}

// The wire's name of each state, in the order of the enumeration.
const char* wireState(SuiteStatus::Component::State state) {
  static const char* const kNames[] = {
      norvak::maild::kRunningState, norvak::maild::kStartingState, norvak::maild::kGivenUpState,
      norvak::maild::kWaitingState, norvak::maild::kFailedState,   norvak::maild::kStoppedState,
      norvak::maild::kExitedState};
  static_assert(sizeof kNames / sizeof *kNames ==
                    static_cast<size_t>(SuiteStatus::Component::State::kExited) + 1,
                "a name for every state");
  return kNames[static_cast<size_t>(state)];
}

}  // namespace

MonitorServer::MonitorServer(const std::string& confFile, const std::string& runList, bool update,
                             const Clock& clock)
    : ThreadSafetyMonitor(confFile, runList, update, clock),
      reloadCompServer_(
          [this](const std::vector<int32_t>& pids, const norvak::ipc::NkIfIPC* connection) {
            return reloadCompProcessor(pids, connection);
          },
          [this](const norvak::ipc::NkIfIPC& connection) { return admitReload(connection); }),
      updateServer_(
          [this](const std::string& packageDir, const std::string& argument,
                 const std::string& product) {
            return updateProcessor(packageDir, argument, product);
          },
          [this](const norvak::ipc::NkIfIPC& connection) {
            return admit(NkRequest::kUpdate, connection);
          }),
      statusServer_([this](const std::vector<std::string>& apps) { return statusProcessor(apps); },
                    [this](const norvak::ipc::NkIfIPC& connection) {
                      return admit(NkRequest::kStatus, connection);
                    }),
      controlServer_(
          [this](NkControlAction action, const std::string& app) {
            return controlProcessor(action, app);
          },
          [this](const norvak::ipc::NkIfIPC& connection) {
            return admit(NkRequest::kControl, connection);
          }),
      logsServer_([this](const NkLogsRequest& request) { return logsProcessor(request); },
                  [this](const norvak::ipc::NkIfIPC& connection) {
                    return admit(NkRequest::kLogs, connection);
                  }),
      refusals_([](const std::string& record) { logAlert(record); }) {
  controlServer_.SetReload(
      [this](const std::vector<int32_t>& pids, const norvak::ipc::NkIfIPC& connection) {
        return reloadProcessor(pids, connection);
      },
      [this](const norvak::ipc::NkIfIPC& connection) {
        const std::string reason = admitReload(connection);
        return reason.empty() ? reason : "request refused: " + reason;
      });
}

MonitorServer::~MonitorServer() {
  logDebug("MonitorServer::~MonitorServer()");
  MonitorServer::stop();
}

void MonitorServer::start() {
  const std::list<std::string>& addresses = settings().getAddressList();
  // Before the session's threads, which count into it.
  startMetrics();
  if (!addresses.empty() && !isCheckMode())
    createSession(addresses, settings().getTimeout(), settings().getMaxConnections());
  Monitor::start();
  // Monitor::start leaves the state STOPPED when a stop was asked for
  // meanwhile; then there is nothing to serve.
  if (session_ && isRunning()) startThreads();
  // The agent may have changed the mail settings during the start.
  refreshNotifySettings();
}

void MonitorServer::startMetrics() {
  const std::string& address = settings().getMetricsAddress();
  if (address.empty() || isCheckMode()) return;
  metrics_ = std::make_unique<MetricsPublisher>(*this);
  try {
    metrics_->start(address);
    logInfo("metrics served on " + address);
  } catch (const std::exception& e) {
    metrics_.reset();
    logError("cannot serve metrics on " + address + ": " + e.what());
  }
}

void MonitorServer::suiteChanged() {
  if (metrics_) metrics_->changed();
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

void MonitorServer::joinEnded() {
  for (const boost::thread::id& id : ended_) {
    for (auto it = protoThreads_.begin(); it != protoThreads_.end(); ++it) {
      if (it->get_id() != id) continue;
      it->join();
      protoThreads_.erase(it);
      break;
    }
  }
  ended_.clear();
}

bool MonitorServer::addThread(std::string* failure) {
  joinEnded();
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
  const int threads = static_cast<int>(protoThreads_.size() - ended_.size());
  if (stopping_ || busy_ < threads || threads >= maxServingThreads_) return;
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
  if (metrics_) metrics_->stop();
  destroySession();
}

void MonitorServer::createSession(const std::list<std::string>& addresses, int timeoutSeconds,
                                  int maxConnections) {
  try {
    // Idle connections expire after the time-out: a client that connects
    // and says nothing holds its connection no longer than one that stalls
    // in the middle of a request.
    const uint32_t most = static_cast<uint32_t>(maxConnections);
    maxServingThreads_ = maxConnections;
    quota_ = std::make_unique<norvak::maild::NkConnectionQuota>(most, geteuid());
    // No maximum in the pool: at it the pool would stop listening, and root
    // could not take the slot kept for it. The quota counts instead.
    auto pool = std::make_shared<ServingPool>(norvak::ipc::ConnSettings(0, 0, timeoutSeconds),
                                              [this] { exchangeBegins(); });
    pool->SetAdmission(
        [this](const norvak::ipc::NkIfIPCPtr& connection, size_t open) {
          return admitConnection(connection, open);
        },
        [this](const norvak::ipc::NkIfIPCPtr& connection) { quota_->Depart(connection.get()); });
    pool->SetRequestsPerTurn(norvak::ipc::NkPersistentServerPoolManager::kRequestsPerTurn);
    session_ = std::make_unique<norvak::ipc::NkServerSession>(pool);
    session_->Register(&reloadCompServer_);
    session_->Register(&updateServer_);
    session_->Register(&statusServer_);
    session_->Register(&controlServer_);
    session_->Register(&logsServer_);
    timeoutSeconds_ = timeoutSeconds;
    const NkTimeout timeout = NkTimeout::Seconds(static_cast<uint32_t>(timeoutSeconds));
    session_->SetTimeout(timeout);
    updateServer_.SetReplyTimeout(timeout);
    statusServer_.SetReplyTimeout(timeout);
    controlServer_.SetReplyTimeout(timeout);
    logsServer_.SetReplyTimeout(timeout);
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
    ended_.clear();
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
      // Threads added for a burst go with it.
      if (static_cast<int>(protoThreads_.size() - ended_.size()) - busy_ > kSpareThreads) {
        ended_.push_back(boost::this_thread::get_id());
        return;
      }
    }
    // The session is closing under this thread: stop() is on its way.
    if (canceled)
      serveCond_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; });
  }
}

NkPeer MonitorServer::peerOf(const norvak::ipc::NkIfIPC& connection) const {
  NkPeer peer;
  if (quota_ && quota_->PeerOf(&connection, &peer)) return peer;
  return norvak::maild::NkIdentifyPeer(connection.GetHandle());
}

NkAccessScope MonitorServer::accessScope() {
  NkAccessScope scope;
  scope.own_uid = geteuid();
  scope.admin_group = Mediator::instance().adminGroup();
  return scope;
}

void MonitorServer::refused(const std::string& what, const NkPeer& peer,
                            const std::string& reason) {
  if (metrics_) metrics_->countRefusal();
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  refusals_.Refused(peer.Key(),
                    "management request refused: " + what + " from " + peer.ToString() + ": " +
                        reason,
                    now.count());
}

bool MonitorServer::admitConnection(const norvak::ipc::NkIfIPCPtr& connection, size_t open) {
  const NkPeer peer = norvak::maild::NkIdentifyPeer(connection->GetHandle());
  const std::string reason = quota_->Admit(connection.get(), peer, open);
  if (reason.empty()) return true;
  refused("connection", peer, reason);
  return false;
}

std::string MonitorServer::admit(NkRequest request, const norvak::ipc::NkIfIPC& connection) {
  const NkPeer peer = peerOf(connection);
  const NkAccessScope scope = accessScope();
  const NkStanding standing = peer.has_credentials
                                  ? norvak::maild::NkAdminStanding(peer.uid, scope)
                                  : NkStanding::kStranger;
  const std::string reason = norvak::maild::NkAccessRefusal(request, peer, standing, scope);
  if (reason.empty()) return reason;
  const uint32_t protocol = request == NkRequest::kUpdate   ? NkUpdateServer::kId
                            : request == NkRequest::kLogs   ? NkLogsServer::kId
                            : request == NkRequest::kStatus ? NkStatusServer::kId
                                                            : NkControlServer::kId;
  refused(protocolName(protocol), peer, reason);
  if (request == NkRequest::kUpdate) return "update refused: " + reason;
  return "request refused: " + reason;
}

std::string MonitorServer::admitReload(const norvak::ipc::NkIfIPC& connection) {
  const NkPeer peer = peerOf(connection);
  // The least any reload asks: an anonymous peer, or one whose user is known.
  const std::string reason = norvak::maild::NkAccessRefusal(
      NkRequest::kReloadComp, peer, NkStanding::kComponentUser, accessScope());
  if (!reason.empty()) refused(protocolName(NkReloadCompServer::kId), peer, reason);
  return reason;
}

bool MonitorServer::reloadCompProcessor(const std::vector<int32_t>& pids,
                                        const norvak::ipc::NkIfIPC* connection) {
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
  if (connection == nullptr) return false;
  if (!reloadRefusal(collected, collected.count(ownPid()) > 0, *connection).empty()) return false;
  if (metrics_) metrics_->countRequest(ManagementFigures::kReload);
  return Mediator::instance().addChangedConf(collected);
}

std::string MonitorServer::reloadRefusal(const std::set<pid_t>& collected, bool full,
                                         const norvak::ipc::NkIfIPC& connection) {
  const NkPeer peer = peerOf(connection);
  const NkAccessScope scope = accessScope();
  const NkRequest request = full ? NkRequest::kFullReload : NkRequest::kReloadComp;
  const bool anonymous = norvak::maild::NkIsAnonymous(peer);
  NkStanding standing = peer.has_credentials ? norvak::maild::NkAdminStanding(peer.uid, scope)
                                             : NkStanding::kStranger;
  std::string reason;
  if (standing != NkStanding::kAdmin && !full) {
    // What runs is the main loop's to know.
    auto job = std::make_shared<AdminJob>();
    job->kind = AdminJob::kComponents;
    job->pids = collected;
    if (!runAdminJob(job, timeoutSeconds_)) {
      reason = "the monitor did not answer within " + std::to_string(timeoutSeconds_) + " s";
    } else if (anonymous) {
      for (pid_t pid : collected) {
        if (!job->componentPids.count(pid)) {
          reason = "pid " + std::to_string(pid) + " is not a running component's";
          break;
        }
      }
    } else if (peer.has_credentials) {
      for (const std::string& user : job->componentUsers) {
        if (uidOf(user, scope.own_uid) == peer.uid) standing = NkStanding::kComponentUser;
      }
    }
  }
  if (reason.empty()) reason = norvak::maild::NkAccessRefusal(request, peer, standing, scope);
  if (!reason.empty()) {
    refused(protocolName(NkReloadCompServer::kId) + (full ? " of the monitor's own pid" : ""),
            peer, reason);
  }
  return reason;
}

NkControlResult MonitorServer::reloadProcessor(const std::vector<int32_t>& pids,
                                               const norvak::ipc::NkIfIPC& connection) {
  logDebug("MonitorServer::reloadProcessor()");
  std::set<pid_t> collected;
  std::string nobodys;
  for (int32_t pid : pids) {
    if (pid > 0)
      collected.insert(pid);
    else
      nobodys += "\nnot a supervised component: " + std::to_string(pid);
  }
  // No pid at all: the monitor's own reload.
  const bool full = pids.empty() || collected.count(ownPid()) > 0;
  NkControlResult answer;
  const std::string reason = reloadRefusal(collected, full, connection);
  if (!reason.empty()) {
    answer.message = "request refused: " + reason;
    return answer;
  }
  if (metrics_) metrics_->countRequest(ManagementFigures::kReload);
  auto job = std::make_shared<AdminJob>();
  job->kind = AdminJob::kReload;
  job->pids = collected;
  if (full) job->pids.insert(ownPid());
  if (!runAdminJob(job, timeoutSeconds_)) {
    answer.message = "not done within " + std::to_string(timeoutSeconds_) +
                     " s; the monitor goes on with it";
    return answer;
  }
  for (pid_t pid : job->unreached)
    nobodys += "\nnot a supervised component: " + std::to_string(pid);
  answer.ok = job->ok && nobodys.empty();
  answer.message = job->message;
  if (answer.message.empty() && !nobodys.empty()) nobodys.erase(0, 1);
  answer.message += nobodys;
  return answer;
}

NkUpdateResult MonitorServer::updateProcessor(const std::string& packageDir,
                                              const std::string& argument,
                                              const std::string& product) {
  logDebug("updateProcessor() " + Updater::printable(packageDir) + ", " +
           Updater::printable(argument) + ", " + Updater::printable(product));
  if (metrics_) metrics_->countRequest(ManagementFigures::kUpdate);
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
  if (metrics_) metrics_->countRequest(ManagementFigures::kStatus);
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
      c.exitStatus = comp.exitStatus;
      for (const SuiteStatus::Component::Check& h : comp.checks)
        c.checks.push_back({h.check, h.result, static_cast<int64_t>(h.time), h.failures, h.error});
      c.notifyStatus = comp.notifyStatus;
      c.state = wireState(comp.state);
      a.components.push_back(std::move(c));
    }
    answer.apps.push_back(std::move(a));
  }
  return answer;
}

NkControlResult MonitorServer::controlProcessor(NkControlAction action, const std::string& app) {
  auto job = std::make_shared<AdminJob>();
  ManagementFigures::Kind counted = ManagementFigures::kStart;
  switch (action) {
    case NkControlAction::kReopenLogs:
      if (metrics_) metrics_->countRequest(ManagementFigures::kReopenLogs);
      return reopenLogs();
    case NkControlAction::kStart:
      job->kind = AdminJob::kStart;
      break;
    case NkControlAction::kStop:
      job->kind = AdminJob::kStop;
      counted = ManagementFigures::kStop;
      break;
    case NkControlAction::kRestart:
      job->kind = AdminJob::kRestart;
      counted = ManagementFigures::kRestart;
      break;
    case NkControlAction::kReload: {
      // Served by reloadProcessor; the protocol never hands it here.
      NkControlResult refused;
      refused.message = "reload request refused: no pids";
      return refused;
    }
  }
  if (metrics_) metrics_->countRequest(counted);
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

NkControlResult MonitorServer::reopenLogs() {
  NkControlResult answer;
  // Not through the loop: the log's own lock orders the reopening with every
  // thread's records and with a reload's new logging, and a loop busy with a
  // stop would only keep the rotation waiting.
  if (LogClass::fileName().empty()) {
    answer.ok = true;
    answer.message = "the log goes to syslog: nothing to reopen";
    return answer;
  }
  std::string failure;
  answer.ok = reopenLog("at the administrator's request", &failure);
  answer.message = failure;
  return answer;
}

NkLogsResult MonitorServer::logsProcessor(const NkLogsRequest& request) {
  if (metrics_) metrics_->countRequest(ManagementFigures::kLogs);
  auto job = std::make_shared<AdminJob>();
  job->kind = AdminJob::kLogs;
  job->logs.app = request.app;
  job->logs.component = request.component;
  job->logs.after = static_cast<uint64_t>(std::max<int64_t>(request.after, 0));
  job->logs.most = static_cast<size_t>(std::max(request.most, 0));
  job->logs.byteCap = norvak::maild::kMaxLogsAnswerBytes;
  NkLogsResult answer;
  if (!runAdminJob(job, timeoutSeconds_)) {
    answer.message = "the monitor did not answer within " + std::to_string(timeoutSeconds_) + " s";
    return answer;
  }
  answer.ok = job->ok;
  answer.message = job->message;
  if (!answer.ok) return answer;
  answer.lines.reserve(job->logs.lines.size());
  for (LogsQuery::Line& line : job->logs.lines) {
    norvak::maild::NkLogLine out;
    out.time = static_cast<int64_t>(line.time);
    out.stream = line.stream == OutputRing::Stream::kErr ? norvak::maild::kLogStderr
                                                         : norvak::maild::kLogStdout;
    out.component = std::move(line.component);
    out.text = std::move(line.text);
    answer.lines.push_back(std::move(out));
  }
  answer.next = static_cast<int64_t>(job->logs.next);
  answer.more = job->logs.more;
  return answer;
}
