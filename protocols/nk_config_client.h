#ifndef NORVAK_PROTOCOLS_NK_CONFIG_CLIENT_H_
#define NORVAK_PROTOCOLS_NK_CONFIG_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "ipc/nk_client_protocol.h"
#include "ipc/nk_ddp_unit.h"

namespace norvak {
namespace maild {

// Asks the configuration agent for one numbered set of settings and keeps
// the key/value pairs of its answer.
//
// The answer comes from another program and is trusted for nothing: its
// strings are read in pieces as their bytes arrive, and the whole reply may
// not exceed a byte budget, so that an announced length or count costs
// nothing until the data is really there.
class NkConfigClient : public ipc::NkClientProtocol {
 public:
  typedef std::map<std::string, std::string> Results;

  static constexpr uint32_t kId = 8195;
  static constexpr int32_t kRequestType = 1;
  static constexpr int32_t kExtendedRequestType = 3;
  static constexpr int32_t kReplyType = 2;
  static constexpr int32_t kOkCode = 1;
  // Configuration answers are a handful of short pairs.
  static constexpr size_t kDefaultReplyLimit = 1 << 20;

  // A pid of 0 stands for the calling process.
  NkConfigClient(uint32_t requestNumber, const std::string& clientName, int32_t pid = 0,
                 bool extended = false);
  ~NkConfigClient() override;

  std::unique_ptr<ipc::NkDdpUnit> CreateUnit() override;
  bool IsFinished() override { return true; }
  uint32_t GetId() const override { return kId; }
  bool MakeRequest(ipc::NkDdpUnit& request) override;
  // Throws base::NkException for a wrong reply type or code, a negative
  // count or a reply beyond the limit; unit failures pass through.
  bool ProcessReply(ipc::NkDdpUnit& reply) override;

  // Bytes of keys, values and their lengths that one reply may carry.
  void SetReplyLimit(size_t bytes) { reply_limit_ = bytes; }

  int32_t GetResponseCode() const { return response_code_; }
  uint32_t GetRequestNumber() const { return request_number_; }
  const std::string& GetClientName() const { return client_name_; }
  int32_t GetPid() const { return pid_; }
  bool IsExtended() const { return extended_; }
  const Results& GetResults() const { return results_; }
  Results::const_iterator begin() const { return results_.begin(); }
  Results::const_iterator end() const { return results_.end(); }

 private:
  std::string ReadString(ipc::NkDdpUnit& reply, size_t& budget);

  int32_t response_code_ = 0;
  uint32_t request_number_;
  std::string client_name_;
  int32_t pid_;
  bool extended_;
  Results results_;
  size_t reply_limit_ = kDefaultReplyLimit;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_CONFIG_CLIENT_H_
