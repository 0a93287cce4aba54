#ifndef NORVAK_IPC_NK_PERSISTENT_CLIENT_POOL_MANAGER_H_
#define NORVAK_IPC_NK_PERSISTENT_CLIENT_POOL_MANAGER_H_

#include <cstdint>
#include <set>
#include <vector>

#include "if_correct_connections.h"
#include "nk_persistent_pool_manager.h"

namespace norvak {
namespace ipc {

// Keeps connections to the session's servers: the minimum is made at open,
// more are made on request up to the maximum (0: no limit). Idle ones wait
// in the ready pool, watched for the server closing them and closed at the
// end of their lifetime; handed-out ones are in the busy pool.
class NkPersistentClientPoolManager : public NkPersistentPoolManager,
                                      public IfCorrectConnections {
 public:
  explicit NkPersistentClientPoolManager(const ConnSettings& settings);
  ~NkPersistentClientPoolManager() override;

  bool Init(const std::vector<std::string>& addresses) override;
  bool Reinit(const std::vector<std::string>& addresses) override;
  void ReleaseConnection(const NkIfIPCPtr& connection) override;
  void CloseConnection(const NkIfIPCPtr& connection) override;
  void CorrectConnectionsNum(const ConnSettings& settings) override;

  size_t GetReadyCount() const;
  size_t GetBusyCount() const;
  uint32_t GetTotal() const;

 protected:
  NkIfIPCPtr TakeReadyLocked() override;
  bool MayCreateLocked() override;
  NkIfIPCPtr CreateOnRequest(const base::NkDeadline& deadline) override;
  base::NkTimeout BuildWaitListLocked(std::vector<pollfd>* entries,
                                      std::vector<NkIfIPCPtr>* connections) override;
  void OnTimeout() override;
  void OnReady(const NkIfIPCPtr& connection, short revents) override;
  void CloseAll() override;

 private:
  // Connects `count` idle connections. False when none could be made and
  // that is not acceptable.
  bool CreatePool(uint32_t count, bool at_least_one, bool ok_if_none);
  // With mutex_ held: forgets a connection leaving the pool.
  void DropLocked(const NkIfIPC* connection);
  void UpdateMaximaLocked();
  std::string StartLine() const;

  std::vector<NkIfIPCPtr> ready_;  // r-pool; the most recently used last
  std::vector<NkIfIPCPtr> busy_;   // b-pool
  std::set<const NkIfIPC*> retired_;  // busy ones of replaced addresses
  std::set<const NkIfIPC*> donors_;   // made on request
  // The connections in the maintenance thread's current poll: one released
  // while still there needs no rebuild.
  std::set<const NkIfIPC*> watched_;
  uint32_t total_ = 0;
  uint32_t creating_ = 0;
  uint32_t requests_ = 0;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_PERSISTENT_CLIENT_POOL_MANAGER_H_
