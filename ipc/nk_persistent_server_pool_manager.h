#ifndef NORVAK_IPC_NK_PERSISTENT_SERVER_POOL_MANAGER_H_
#define NORVAK_IPC_NK_PERSISTENT_SERVER_POOL_MANAGER_H_

#include <deque>
#include <functional>
#include <unordered_map>
#include <vector>

#include "nk_deadline.h"
#include "nk_persistent_pool_manager.h"
#include "nk_unique_fd.h"

namespace norvak {
namespace ipc {

// Listens on the session's addresses. Accepted connections wait in the
// e-pool until their first bytes arrive, then move to the r-pool, from which
// Execute takes them in arrival order; after a good exchange a connection
// goes back to the e-pool for its next request. At most the maximum of
// connections are open at once (0: no limit).
//
// One connection handed back after an exchange is "parked" instead: the
// next thread that has to wait for a connection polls it itself (with an
// eventfd for the pool's events), so a client that keeps its connection is
// served without the maintenance thread relaying every request.
//
// Where asked to, a connection is served a bounded number of requests in a
// turn of a second (from the first of them): one handed back with its turn
// used up is held, watched by nobody, until the turn is over, so that a
// client that pipelines cannot buy more than its share of the serving
// threads.
class NkPersistentServerPoolManager : public NkPersistentPoolManager {
 public:
  // The turn's requests for a server that untrusted clients reach.
  static constexpr unsigned kRequestsPerTurn = 4;

  // Asked on the maintenance thread for every accepted connection, before it
  // joins the pool, with the number of connections open besides it; false
  // closes it at once (nothing is logged above debug level).
  using Admission = std::function<bool(const NkIfIPCPtr& connection, size_t open)>;
  // Told once for every admitted connection when it leaves the pool, however
  // it leaves, on the thread that drops it, without the pool's lock and
  // before the connection is closed. Must not throw.
  using Departure = std::function<void(const NkIfIPCPtr& connection)>;

  explicit NkPersistentServerPoolManager(const ConnSettings& settings);
  ~NkPersistentServerPoolManager() override;

  // Before Init. Either may be empty. The maximum of connections comes
  // first: at it nothing is accepted, so nothing is asked.
  void SetAdmission(Admission admit, Departure depart);
  // Before Init. 0, the default, serves every request as soon as it can.
  void SetRequestsPerTurn(unsigned requests);

  bool Init(const std::vector<std::string>& addresses) override;
  bool Reinit(const std::vector<std::string>& addresses) override;
  bool Suspend() override;
  void ReleaseConnection(const NkIfIPCPtr& connection) override;
  void CloseConnection(const NkIfIPCPtr& connection) override;

  size_t GetEstablishedCount() const;
  size_t GetReadyCount() const;
  size_t GetBusyCount() const;

 protected:
  bool AcceptConnection(const NkIfIPCPtr& connection) override;
  NkIfIPCPtr TakeReadyLocked() override;
  WaitOutcome WaitLocked(std::unique_lock<std::mutex>& lock, const base::NkDeadline& deadline,
                         uint32_t* event, NkIfIPCPtr* connection) override;
  base::NkTimeout BuildWaitListLocked(std::vector<pollfd>* entries,
                                      std::vector<NkIfIPCPtr>* connections) override;
  void OnTimeout() override;
  void OnReady(const NkIfIPCPtr& connection, short revents) override;
  void CloseAll() override;

 private:
  struct Turn {
    base::NkDeadline ends{base::kNkZeroTimeout};
    unsigned served = 0;
  };

  void AcceptOne(const NkIfIPCPtr& listener, short revents);
  size_t CountLocked() const { return admitted_.size(); }
  // With mutex_ held: the connection becomes busy with one more request of
  // its turn.
  void ServeLocked(const NkIfIPCPtr& connection);
  // With mutex_ held: whether its turn is not over and has no request left.
  bool SpentLocked(const NkIfIPC* connection) const;
  // With mutex_ held: takes every connection that waits for a request or
  // for its turn.
  std::vector<NkIfIPCPtr> TakeIdleLocked();
  // Without mutex_: closes a connection that is in no pool any more. Every
  // close of an accepted connection comes here, and only the first for an
  // admitted one tells its departure.
  void Drop(const NkIfIPCPtr& connection);
  // With mutex_ held: a parked connection nobody leads goes to the poller.
  void UnparkLocked();
  void UpdateMaximaLocked();
  // With mutex_ held: back to the e-pool, expiring after the lifetime.
  void EstablishLocked(const NkIfIPCPtr& connection);
  std::string StartLine() const;

  std::vector<NkIfIPCPtr> established_;  // e-pool
  std::deque<NkIfIPCPtr> ready_;         // r-pool, oldest request first
  std::vector<NkIfIPCPtr> busy_;
  std::vector<NkIfIPCPtr> retired_;      // busy ones of replaced listeners
  std::vector<NkIfIPCPtr> held_;         // their turn used up, waiting for its end
  // Every connection from its admission until it is dropped.
  std::unordered_map<const NkIfIPC*, Turn> admitted_;
  Admission admit_;
  Departure depart_;
  unsigned requests_per_turn_ = 0;
  NkIfIPCPtr parked_;  // handed back, waiting for a thread to lead it
  NkIfIPCPtr led_;     // polled by a waiting thread right now
  base::UniqueFd wake_fd_;  // wakes the leading thread for the pool's events
  // After a failed accept (out of descriptors, typically) the listeners are
  // left alone for a while instead of polling readable in a loop.
  bool accept_paused_ = false;
  base::NkDeadline accept_resume_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_PERSISTENT_SERVER_POOL_MANAGER_H_
