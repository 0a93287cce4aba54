#ifndef NORVAK_PROTOCOLS_NK_REFUSAL_LOG_H_
#define NORVAK_PROTOCOLS_NK_REFUSAL_LOG_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace norvak {
namespace maild {

// Refusals of one peer reach the log at most once a minute: a peer that asks
// again and again must not be able to fill the disk. The next record of the
// peer says how many were left out meanwhile.
class NkRefusalLog {
 public:
  using Sink = std::function<void(const std::string& record)>;
  static constexpr int64_t kPeriodSeconds = 60;
  // Peers remembered at once; beyond them, the ones of one window share a
  // single record.
  static constexpr size_t kMaxPeers = 1024;

  explicit NkRefusalLog(Sink sink) : sink_(std::move(sink)) {}

  // now: monotonic seconds. Thread-safe.
  void Refused(const std::string& peer_key, const std::string& record, int64_t now);

 private:
  struct Window {
    int64_t began;
    uint64_t left_out;
  };

  Sink sink_;
  std::mutex mutex_;
  std::unordered_map<std::string, Window> peers_;
};

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_REFUSAL_LOG_H_
