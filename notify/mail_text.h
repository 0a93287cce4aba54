#ifndef NORVAK_MONITOR_MAIL_TEXT_H_
#define NORVAK_MONITOR_MAIL_TEXT_H_

#include <sys/types.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

// The reports handed to a component's informer: complete mail texts (Date and
// Subject headers, body, signature) built from the arguments and from the
// current NotifyInfo. The signature ends without a line end. compName is the
// component's name; dir + compName is its executable; appName is the owning
// application's full name.

// The process `pid` of the component died at faultTime (by a signal).
// affectedApps: the applications that depend on the component's one.
// cause: why the monitor ended the process itself (a failed health check,
// the watchdog); when given, the mail says so on a line of its own.
std::string composeFailureMail(pid_t pid, const std::string& compName, time_t faultTime,
                               const std::string& appName, const std::string& dir,
                               const std::vector<std::string>& affectedApps,
                               const std::string& cause = std::string());

// A restart of a component that failed at faultTime succeeded at `now`; pid
// is the new process; abortive: when the tries before it were made.
std::string composeRecoveryMail(pid_t pid, const std::string& compName, time_t now,
                                time_t faultTime, const std::vector<time_t>& abortive,
                                const std::string& appName, const std::string& dir);

// Every restart try was used up; pid is the component's current one;
// attempts: when the tries were made.
std::string composeCannotRecoverMail(pid_t pid, const std::string& compName, time_t faultTime,
                                     const std::vector<time_t>& attempts,
                                     const std::string& appName, const std::string& dir);

// The summary of a minute in which more than `limit` notifications came
// (NotifyLimiter): how many were held back for each component. since is the
// wall time at which the minute began.
std::string composeHeldBackMail(const std::map<std::string, int>& heldBack, int limit,
                                time_t since);

// The component a report composed above is about; empty for any other text.
std::string reportedComponent(const std::string& report);

#endif  // NORVAK_MONITOR_MAIL_TEXT_H_
