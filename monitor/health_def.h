#ifndef NORVAK_MONITOR_HEALTH_DEF_H_
#define NORVAK_MONITOR_HEALTH_DEF_H_

#include <string>

// How the monitor finds out that a running component no longer works,
// beyond its process being alive: a periodic check (a TCP connect or a
// program that must succeed) and a watchdog the component keeps feeding.
// A plain value, part of the component's definition.
struct HealthDef {
  enum class Kind { kNone, kTcp, kExec };

  static const int kDefaultInterval = 10;
  static const int kDefaultTimeout = 5;
  static const int kDefaultRetries = 3;

  Kind kind = Kind::kNone;
  // TCP: the host and port (an IPv6 host without brackets); EXEC: the
  // command line, split as a component's argument string is.
  std::string host;
  std::string port;
  std::string command;
  int interval = kDefaultInterval;  // seconds between the starts of two checks
  int timeout = kDefaultTimeout;    // seconds a check may take
  int retries = kDefaultRetries;    // failures in a row that fail the component
  int watchdog = 0;                 // seconds; 0: no watchdog

  bool hasCheck() const { return kind != Kind::kNone; }
  bool any() const { return hasCheck() || watchdog > 0; }
  // How messages name the check: TCP host:port or EXEC "command".
  std::string label() const;

  // host:port, [v6]:port; false (with the reason) for anything else.
  static bool splitAddress(const std::string& text, std::string& host, std::string& port,
                           std::string& reason);

  bool operator==(const HealthDef& other) const;
  bool operator!=(const HealthDef& other) const { return !(*this == other); }
};

#endif  // NORVAK_MONITOR_HEALTH_DEF_H_
