#ifndef NORVAK_MONITOR_SIGNAL_HANDLER_H_
#define NORVAK_MONITOR_SIGNAL_HANDLER_H_

#include <signal.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "frame/signal_executor.h"

// Synchronous signal handling: the handled signals are blocked in every
// thread and one thread takes them with sigwait, handing each to the
// processor registered for it.
class SignalHandler {
 public:
  class error : public std::runtime_error {
   public:
    explicit error(const std::string& what) : std::runtime_error(what) {}
  };

  class Processor {
   public:
    // executor may be null: the processor then only decides whether the
    // wait ends.
    Processor(SignalExecutor* executor, const std::string& name)
        : executor_(executor), name_(name) {}
    virtual ~Processor() = default;
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    // True when the wait is to end.
    virtual bool process(int signal) = 0;

    const std::string& name() const { return name_; }

   protected:
    SignalExecutor* executor() const { return executor_; }

   private:
    SignalExecutor* executor_;
    std::string name_;
  };

  SignalHandler();
  virtual ~SignalHandler();
  SignalHandler(const SignalHandler&) = delete;
  SignalHandler& operator=(const SignalHandler&) = delete;

  // At most one processor per signal.
  void addProcessor(int signal, std::unique_ptr<Processor> processor);
  // Blocks the registered signals in the calling thread (threads created
  // afterwards inherit the mask) and gives SIGALRM, SIGCHLD, SIGHUP and
  // SIGPIPE a do-nothing action so that none of them is ignored or fatal.
  bool blockSignals();
  // Takes signals until a processor (or a signal without one) ends the wait.
  void waitSignals();

 private:
  sigset_t signals_;
  std::map<int, std::unique_ptr<Processor>> processors_;
};

class ReloadProcessor : public SignalHandler::Processor {
 public:
  using Processor::Processor;
  bool process(int signal) override;
};

class TerminateProcessor : public SignalHandler::Processor {
 public:
  using Processor::Processor;
  bool process(int signal) override;
};

class InformProcessor : public SignalHandler::Processor {
 public:
  using Processor::Processor;
  bool process(int signal) override;
};

#endif  // NORVAK_MONITOR_SIGNAL_HANDLER_H_
