#ifndef NORVAK_MONITOR_NOTIFY_INFO_H_
#define NORVAK_MONITOR_NOTIFY_INFO_H_

#include <mutex>
#include <string>
#include <vector>

// The process-wide notification settings: who the reports come from and go
// to, how the signature names the program and the host, and the restart
// schedule that the failure mails announce. Written by the main loop on every
// (re)load, read by the mail composers and SenderInformer; all access is under
// one mutex, and readers get copies.
class NotifyInfo {
 public:
  struct Identity {
    std::string title;
    std::string osName;
    std::string version;
    std::string hostName;
    // Cumulative: entry i is the delay from the fault to restart try i + 1.
    std::vector<int> restartOffsets;
  };
  struct Addresses {
    std::string from;  // may be empty: no From header
    std::string to;    // may be empty: the local superuser gets the mail
  };

  static NotifyInfo& instance();

  // recoveryTimeList holds the delays between tries, as configured; it is
  // stored as running sums (10, 60, 300 becomes 10, 70, 370).
  void setIdentity(const std::string& title, const std::string& osName,
                   const std::string& version, const std::string& hostName,
                   const std::vector<int>& recoveryTimeList);
  void setAddresses(const std::string& from, const std::string& to);
  void setInjectCmd(const std::string& command);

  Identity identity() const;
  Addresses addresses() const;
  std::string injectCmd() const;

 private:
  NotifyInfo() = default;

  mutable std::mutex mutex_;
  Identity identity_;
  Addresses addresses_;
  std::string injectCmd_;
};

// The mail command of SenderInformer, e.g. "/usr/sbin/sendmail -t"; read at
// every delivery.
void setInjectCmd(const std::string& command);
std::string injectCmd();

// The local superuser's mailbox on this host, used when no recipient is set.
std::string localSuperuserMailbox();

#endif  // NORVAK_MONITOR_NOTIFY_INFO_H_
