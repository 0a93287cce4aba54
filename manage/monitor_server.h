#ifndef NORVAK_MANAGE_MONITOR_SERVER_H_
#define NORVAK_MANAGE_MONITOR_SERVER_H_

#include <sys/types.h>

#include <boost/thread/thread.hpp>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ipc/nk_if_ipc.h"
#include "ipc/nk_server_session.h"
#include "manage/metrics_publisher.h"
#include "manage/thread_safety_monitor.h"
#include "protocols/nk_access_policy.h"
#include "protocols/nk_connection_quota.h"
#include "protocols/nk_control.h"
#include "protocols/nk_logs.h"
#include "protocols/nk_peer.h"
#include "protocols/nk_refusal_log.h"
#include "protocols/nk_reload_comp_server.h"
#include "protocols/nk_status.h"
#include "protocols/nk_update_server.h"

// The monitor as the program builds it: serves ReloadComp (8200), Update
// (8204), Status (8300), Control (8301) and Logs (8303) on the management
// addresses (/Monitor/Address) with one server session, and reaches the
// monitor only through the mediator. With /Monitor/MetricsAddress set it
// also serves the monitor's figures (MetricsPublisher) and counts its
// requests and refusals into them.
//
// Requests are taken from strangers' sockets, so the server trusts nothing
// a request says about its sender: who is asking is what the kernel says of
// the peer's socket, and what they may ask is the access table's to say
// (protocols/nk_access_policy.h). No peer holds more than a few connections,
// the last one is kept for root on a local socket, and a peer that stalls
// holds one connection and one serving thread for at most /Monitor/Timeout
// seconds.
class MonitorServer : public ThreadSafetyMonitor {
 public:
  // Threads waiting for requests. A client stalling halfway through a
  // request holds its thread until the time-out; when the last waiting
  // thread takes a request another one is added, up to one per connection
  // (/Monitor/MaxConnections), so that stalling clients never keep the
  // others waiting; the added ones end with their exchange.
  static const int kSpareThreads = 2;

  MonitorServer(const std::string& confFile, const std::string& runList, bool update,
                const Clock& clock = Clock::system());
  ~MonitorServer() override;

  // Opens the server session (unless no address is configured, or in a
  // check mode, where another monitor may own the addresses), starts the
  // applications, then the serving threads. Throws Monitor::InitError.
  void start() override;
  // Stops the applications, then the session and its threads. Safe to call
  // again.
  void stop() override;

  bool reloadCompProcessor(const std::vector<int32_t>& pids,
                           const norvak::ipc::NkIfIPC* connection);
  // The answered reload: what changed, or why not, and the pids that are
  // nobody's.
  norvak::maild::NkControlResult reloadProcessor(const std::vector<int32_t>& pids,
                                                 const norvak::ipc::NkIfIPC& connection);
  norvak::maild::NkUpdateResult updateProcessor(const std::string& packageDir,
                                                const std::string& argument,
                                                const std::string& product);

  norvak::maild::NkStatusResult statusProcessor(const std::vector<std::string>& apps);
  norvak::maild::NkControlResult controlProcessor(norvak::maild::NkControlAction action,
                                                  const std::string& app);
  norvak::maild::NkLogsResult logsProcessor(const norvak::maild::NkLogsRequest& request);

  // The status in the protocol's terms.
  static norvak::maild::NkStatusResult wireStatus(const SuiteStatus& status);

  bool hasSession() const { return session_ != nullptr; }

 protected:
  void suiteChanged() override;

 private:
  // The metrics server of /Monitor/MetricsAddress, if any; the monitor runs
  // on without it when it cannot listen.
  void startMetrics();

  void createSession(const std::list<std::string>& addresses, int timeoutSeconds,
                     int maxConnections);
  void destroySession();
  void startThreads();
  // With serveMutex_ held. False when no thread could be made.
  bool addThread(std::string* failure);
  // A serving thread has taken a connection: it is busy until its exchange
  // ends.
  void exchangeBegins();
  void monitorProtoThread();
  // With serveMutex_ held: joins the serving threads that have ended.
  void joinEnded();

  norvak::maild::NkPeer peerOf(const norvak::ipc::NkIfIPC& connection) const;
  static norvak::maild::NkAccessScope accessScope();
  static norvak::maild::NkControlResult reopenLogs();
  // The gate of the answered requests: logs and answers the refusal, if any.
  std::string admit(norvak::maild::NkRequest request, const norvak::ipc::NkIfIPC& connection);
  // ReloadComp's gate, before its pids are read: only a peer that could be
  // allowed some reload is read at all.
  std::string admitReload(const norvak::ipc::NkIfIPC& connection);
  // Why the peer may not have these pids reloaded (logged); empty when it
  // may. full: the monitor's own pid is among them.
  std::string reloadRefusal(const std::set<pid_t>& pids, bool full,
                            const norvak::ipc::NkIfIPC& connection);
  bool admitConnection(const norvak::ipc::NkIfIPCPtr& connection, size_t open);
  void refused(const std::string& what, const norvak::maild::NkPeer& peer,
               const std::string& reason);

  std::unique_ptr<norvak::ipc::NkServerSession> session_;
  std::unique_ptr<MetricsPublisher> metrics_;
  norvak::maild::NkReloadCompServer reloadCompServer_;
  norvak::maild::NkUpdateServer updateServer_;
  norvak::maild::NkStatusServer statusServer_;
  norvak::maild::NkControlServer controlServer_;
  norvak::maild::NkLogsServer logsServer_;
  int timeoutSeconds_ = 30;
  int maxServingThreads_ = 32;
  std::unique_ptr<norvak::maild::NkConnectionQuota> quota_;
  norvak::maild::NkRefusalLog refusals_;
  // monitorProtoThread and its siblings, and the ones that have ended.
  std::list<boost::thread> protoThreads_;
  std::vector<boost::thread::id> ended_;

  std::mutex serveMutex_;
  std::condition_variable serveCond_;
  bool stopping_ = false;
  int busy_ = 0;  // serving threads in an exchange
};

#endif  // NORVAK_MANAGE_MONITOR_SERVER_H_
