#ifndef NORVAK_MANAGE_MONITOR_SERVER_H_
#define NORVAK_MANAGE_MONITOR_SERVER_H_

#include <sys/types.h>

#include <boost/thread/thread.hpp>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/nk_if_ipc.h"
#include "ipc/nk_server_session.h"
#include "manage/thread_safety_monitor.h"
#include "protocols/nk_control.h"
#include "protocols/nk_peer.h"
#include "protocols/nk_reload_comp_server.h"
#include "protocols/nk_status.h"
#include "protocols/nk_update_server.h"

// The monitor as the program builds it: serves ReloadComp (8200), Update
// (8204), Status (8300) and Control (8301) on the management addresses (/Monitor/Address) with one server
// session, and reaches the monitor only through the mediator.
//
// Requests are taken from strangers' sockets, so the server trusts nothing
// a request says about its sender: Unix-domain peers must run as root or as
// the monitor's own user, updates over TCP must come from the loopback
// interface, and a peer that stalls holds one connection and one serving
// thread for at most /Monitor/Timeout seconds.
class MonitorServer : public ThreadSafetyMonitor {
 public:
  // Connections open at once, idle ones included. Beyond it the server
  // stops accepting until one goes (idle ones expire after the time-out),
  // so that nobody can use up the descriptors the supervision needs.
  static const uint32_t kMaxConnections = 64;
  // Threads waiting for requests from the start. A client stalling halfway
  // through a request holds its thread until the time-out; when the last
  // waiting thread takes a request another one is added, up to one per
  // connection, so that stalling clients never keep the others waiting.
  static const int kSpareThreads = 2;
  static const int kMaxServingThreads = static_cast<int>(kMaxConnections);

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

  bool reloadCompProcessor(const std::vector<int32_t>& pids);
  norvak::maild::NkUpdateResult updateProcessor(const std::string& packageDir,
                                                const std::string& argument,
                                                const std::string& product);

  norvak::maild::NkStatusResult statusProcessor(const std::vector<std::string>& apps);
  norvak::maild::NkControlResult controlProcessor(norvak::maild::NkControlAction action,
                                                  const std::string& app);

  // The status in the protocol's terms.
  static norvak::maild::NkStatusResult wireStatus(const SuiteStatus& status);

  // Why the peer may not use the protocol; empty when it may.
  static std::string refusal(uint32_t protocol, const norvak::maild::NkPeer& peer, uid_t ownUid);

  bool hasSession() const { return session_ != nullptr; }

 private:
  void createSession(const std::list<std::string>& addresses, int timeoutSeconds);
  void destroySession();
  void startThreads();
  // With serveMutex_ held. False when no thread could be made.
  bool addThread(std::string* failure);
  // A serving thread has taken a connection: it is busy until its exchange
  // ends.
  void exchangeBegins();
  void monitorProtoThread();
  // The protocols' gate: logs and answers the refusal, if any.
  std::string admit(uint32_t protocol, const norvak::ipc::NkIfIPC& connection);

  std::unique_ptr<norvak::ipc::NkServerSession> session_;
  norvak::maild::NkReloadCompServer reloadCompServer_;
  norvak::maild::NkUpdateServer updateServer_;
  norvak::maild::NkStatusServer statusServer_;
  norvak::maild::NkControlServer controlServer_;
  int timeoutSeconds_ = 30;
  // monitorProtoThread and its siblings.
  std::vector<boost::thread> protoThreads_;

  std::mutex serveMutex_;
  std::condition_variable serveCond_;
  bool stopping_ = false;
  int busy_ = 0;  // serving threads in an exchange
};

#endif  // NORVAK_MANAGE_MONITOR_SERVER_H_
