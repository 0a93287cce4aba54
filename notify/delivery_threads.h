#ifndef NORVAK_MONITOR_DELIVERY_THREADS_H_
#define NORVAK_MONITOR_DELIVERY_THREADS_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "frame/child_process.h"

// Runs notification deliveries on a few worker threads shared by the whole
// process: at most kMaxRunning at once, the others wait in order of arrival,
// kMaxWaiting at most. A delivery that finds the queue full pushes out the
// oldest waiting one: the newest reports tell the current state, and a slow
// mail command must not make the monitor's memory grow without end.
// Each object counts the deliveries started through it (mails, commands), so
// that shut-down and tests can wait for one kind instead of guessing.
//
// Workers end when nothing is left to do. At process exit the workers are
// told to give up (a command still running is killed, see deliverToCommand),
// deliveries not yet begun are dropped, and the workers are joined before the
// static objects they might use go away.
class DeliveryThreads {
 public:
  static constexpr int kMaxRunning = 8;
  static constexpr int kMaxWaiting = 256;

  DeliveryThreads() = default;
  DeliveryThreads(const DeliveryThreads&) = delete;
  DeliveryThreads& operator=(const DeliveryThreads&) = delete;

  // Queues job without waiting for room. False, with job dropped, when the
  // process is exiting or no worker could be created to run it. An exception
  // out of job is logged.
  bool start(std::function<void()> job);

  // Deliveries pushed out of the full queue so far, over the whole process
  // (NotifyLimiter logs them).
  static uint64_t dropped();

  // Deliveries queued or running.
  int pending() const;
  // True when none is left within `seconds`.
  bool wait(int seconds);

 private:
  friend class DeliveryPool;
  void finished();

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  int pending_ = 0;
};

// What became of one delivery through a command.
struct CommandDelivery {
  enum Start { kStarted, kPipeFailed, kForkFailed };
  Start start = kStarted;
  int pipeError = 0;   // errno when kPipeFailed
  int writeError = 0;  // 0 when the text went in whole; ETIMEDOUT past the time
  bool killed = false;  // ended by the time-out or the process exit
  ExitStatus status;
};

// Runs command through "/bin/sh -c" in a session of its own with text on its
// standard input, and waits for its end. When timeoutSeconds pass first, or
// the process exits meanwhile, the whole session is killed and reaped: a
// hanging command leaves nothing behind. For a job of DeliveryThreads.
CommandDelivery deliverToCommand(const std::string& command, const std::string& text,
                                 int timeoutSeconds);

// The time-out of both informers' deliveries.
constexpr int kDeliveryTimeout = 30;  // seconds

#endif  // NORVAK_MONITOR_DELIVERY_THREADS_H_
