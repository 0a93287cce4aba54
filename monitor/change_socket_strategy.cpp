#include "monitor/change_socket_strategy.h"

#include "monitor/component.h"

ChangeSocketStrategy::ChangeSocketStrategy(const std::string& socket, const std::string& pidFile)
    : socket_(socket), pidFile_(pidFile) {}

void ChangeSocketStrategy::start(Component& comp, const std::string& dir, time_t faultTime,
                                 const std::string& appName) {
  comp.startStandart(*this, dir, faultTime, appName);
}

void ChangeSocketStrategy::addArgs(std::vector<std::string>& args) const {
  args.push_back("--socket");
  args.push_back(socket_);
  args.push_back("--pid-file");
  args.push_back(pidFile_);
}

std::string ChangeSocketStrategy::name() const { return "change-socket"; }

std::string ChangeSocketStrategy::description() const { return "in " + name() + " mode"; }
