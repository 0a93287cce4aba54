#include "agent/agent_side.h"

#include <utility>

#include "frame/log.h"

AgentSide::AgentSide(Inbox inbox) : inbox_(std::move(inbox)) {}

AgentSide::~AgentSide() { close(); }

void AgentSide::configure(const std::string& address, int responseTimeSeconds) {
  link_.configure(address, responseTimeSeconds);
}

void AgentSide::beginNotices() {
  if (notifier_) return;
  notifier_ = std::make_unique<AgentNotifier>(
      [this](const AgentNotice& notice) { return link_.notify(notice); });
  if (!notifier_->start()) notifier_.reset();
}

void AgentSide::read(MonitorConfReader& settings, bool maildDefined) {
  if (link_.connect(true) && notifier_) notifier_->wake();
  settings.readConfigFromAgent(link_.session().get(), maildDefined);
}

void AgentSide::readAfresh(MonitorConfReader copy, bool maildDefined, ValuesTaker take) {
  reader_.submit([this, copy, maildDefined, take]() mutable {
    // The settings may name another agent: a new session in any case.
    link_.drop();
    logDebug("Monitor::connectToAgent()");
    read(copy, maildDefined);
    inbox_([take, values = copy.agentValues()] { take(values); });
  });
}

void AgentSide::appStarted(const Application& app) {
  if (notifier_) notifier_->post(AgentNotice::of(AgentNotice::kStartApp, app));
}

void AgentSide::appStopped(const Application& app) {
  if (notifier_) notifier_->post(AgentNotice::of(AgentNotice::kStopApp, app));
}

void AgentSide::agentBack() {
  if (notifier_) notifier_->wake();
}

void AgentSide::close() {
  // Closed first: a notice still being sent or a read under way fails at
  // once instead of holding its thread's join until its deadline.
  link_.close();
  reader_.stop();
  notifier_.reset();
}
