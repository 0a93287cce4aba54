#ifndef NORVAK_IPC_NK_CONTROL_H_
#define NORVAK_IPC_NK_CONTROL_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "nk_unique_fd.h"

namespace norvak {
namespace ipc {

// The commands a persistent pool sends its maintenance thread. The codes
// wait in a queue (each at most once: a rebuild asked twice is one rebuild);
// each queued code has one byte in a pipe whose read end the maintenance
// thread polls with its connections.
class NkControl {
 public:
  enum Command : uint32_t {
    kStop = 0x101,
    kRebuild = 0x102,
    kReleased = 0x10A,
    kClosed = 0x10B,
  };
  enum ReadResult { kNothing = 0, kCommand = 1, kEmptyQueue = -1 };

  // Raises NkSystemError when the pipe cannot be made.
  explicit NkControl(const std::string& name);
  NkControl(const NkControl&) = delete;
  NkControl& operator=(const NkControl&) = delete;

  // False when the code was already queued.
  bool Send(uint32_t code);
  // After the read end polled readable: takes the oldest code. kNothing when
  // no byte was there (someone cleared the queue meanwhile).
  ReadResult Read(uint32_t* code);
  void Clear();

  int GetReadHandle() const { return read_fd_.get(); }
  size_t GetQueueSize() const;

 private:
  const std::string name_;
  mutable std::mutex mutex_;
  std::deque<uint32_t> queue_;
  base::UniqueFd read_fd_;
  base::UniqueFd write_fd_;
};

}  // namespace ipc
}  // namespace norvak

#endif  // NORVAK_IPC_NK_CONTROL_H_
