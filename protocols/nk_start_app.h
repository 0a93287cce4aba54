#ifndef NORVAK_PROTOCOLS_NK_START_APP_H_
#define NORVAK_PROTOCOLS_NK_START_APP_H_

#include <cstdint>
#include <memory>
#include <string>

#include "ipc/nk_client_protocol.h"
#include "ipc/nk_ddp_unit.h"
#include "ipc/nk_server_protocol.h"
#include "protocols/nk_request_queue.h"

namespace norvak {
namespace maild {

// "An application has started", told to the configuration agent. The
// request has no answer: the exchange is over once it is written.
class NkStartAppClient : public ipc::NkClientProtocol {
 public:
  static constexpr uint32_t kId = 8201;

  // pid: the application's first component (0 without components);
  // permissions: its components' distinct "user:group" texts, sorted, joined
  // by ","; arguments: the argument string of its only component, else "".
  NkStartAppClient(const std::string& appName, int32_t pid, const std::string& permissions,
                   const std::string& arguments);

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool MakeRequest(ipc::NkDdpUnit& request) override;
  bool ProcessReply(ipc::NkDdpUnit& reply) override;

  const std::string& GetAppName() const { return app_name_; }
  int32_t GetPid() const { return pid_; }
  const std::string& GetPermissions() const { return permissions_; }
  const std::string& GetArguments() const { return arguments_; }

 private:
  std::string app_name_;
  int32_t pid_;
  std::string permissions_;
  std::string arguments_;
};

// The agent's side: queues what it receives for its owner to take.
class NkStartAppServer : public ipc::NkServerProtocol {
 public:
  struct Request {
    std::string remote;  // the peer's address
    std::string appName;
    int32_t pid = 0;
    std::string permissions;
    std::string arguments;
  };
  typedef NkRequestQueue<Request> Queue;

  explicit NkStartAppServer(size_t capacity = Queue::kDefaultCapacity);

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return NkStartAppClient::kId; }
  bool Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) override;

  Queue& GetQueue() { return queue_; }

 private:
  Queue queue_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_START_APP_H_
