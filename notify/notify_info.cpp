#include "notify/notify_info.h"

#include <climits>

NotifyInfo& NotifyInfo::instance() {
  // Never destroyed: delivery threads may still be finishing while the
  // process runs its exit handlers.
  static NotifyInfo* info = new NotifyInfo;
  return *info;
}

void NotifyInfo::setIdentity(const std::string& title, const std::string& osName,
                             const std::string& version, const std::string& hostName,
                             const std::vector<int>& recoveryTimeList) {
  std::vector<int> offsets;
  offsets.reserve(recoveryTimeList.size());
  long long sum = 0;
  for (int delay : recoveryTimeList) {
    sum += delay;
    // A silly configured list must not wrap round into a time in the past.
    if (sum > INT_MAX) sum = INT_MAX;
    if (sum < INT_MIN) sum = INT_MIN;
    offsets.push_back(static_cast<int>(sum));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  identity_.title = title;
  identity_.osName = osName;
  identity_.version = version;
  identity_.hostName = hostName;
  identity_.restartOffsets.swap(offsets);
}

void NotifyInfo::setAddresses(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  addresses_.from = from;
  addresses_.to = to;
}

void NotifyInfo::setInjectCmd(const std::string& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  injectCmd_ = command;
}

NotifyInfo::Identity NotifyInfo::identity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return identity_;
}

NotifyInfo::Addresses NotifyInfo::addresses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return addresses_;
}

std::string NotifyInfo::injectCmd() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return injectCmd_;
}

void setInjectCmd(const std::string& command) { NotifyInfo::instance().setInjectCmd(command); }

std::string injectCmd() { return NotifyInfo::instance().injectCmd(); }

// "root" alone would do for a local MTA as well, but an explicit host part
// keeps an MTA that appends a relay domain from sending the mail off-host.
std::string localSuperuserMailbox() { return "root@localhost"; }
