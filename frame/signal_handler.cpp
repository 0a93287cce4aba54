#include "frame/signal_handler.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
void doNothing(int) {}
}  // namespace

SignalHandler::SignalHandler() {
  if (sigemptyset(&signals_) != 0) {
    throw error(std::string("sigemptyset() error: ") + strerror(errno));
  }
}

SignalHandler::~SignalHandler() = default;

void SignalHandler::addProcessor(int signal, std::unique_ptr<Processor> processor) {
  if (processors_.count(signal) != 0) {
    throw error("cannot add processor for signal " + std::to_string(signal) +
                ": processor already added");
  }
  if (sigaddset(&signals_, signal) != 0) {
    throw error(std::string("signumset error: ") + strerror(errno));
  }
  processors_[signal] = std::move(processor);
}

bool SignalHandler::blockSignals() {
  int rc = pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  if (rc != 0) {
    throw error(std::string("wait signals thread error: pthread_sigmask() ") + strerror(rc));
  }
  // A real (empty) action keeps these from being discarded or fatal under
  // their default disposition; SIGPIPE then turns into EPIPE for writers.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = doNothing;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGALRM, SIGCHLD, SIGHUP, SIGPIPE}) {
    if (sigaction(sig, &action, nullptr) != 0) {
      perror("sigaction");
      exit(1);
    }
  }
  return true;
}

void SignalHandler::waitSignals() {
  bool done = false;
  while (!done) {
    int signal = 0;
    int rc = sigwait(&signals_, &signal);
    if (rc == EINTR) continue;
    if (rc != 0) throw error(std::string("sigwait error: ") + strerror(rc));
    auto it = processors_.find(signal);
    done = it == processors_.end() || it->second->process(signal);
  }
}

bool ReloadProcessor::process(int signal) {
  if (executor()) executor()->reload(signal, name());
  return false;
}

bool TerminateProcessor::process(int signal) {
  if (executor()) executor()->terminate(signal, name());
  return true;
}

bool InformProcessor::process(int signal) {
  if (executor()) executor()->inform(signal, name());
  return false;
}
