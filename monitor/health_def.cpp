#include "monitor/health_def.h"

#include <cstdlib>

std::string HealthDef::label() const {
  switch (kind) {
    case Kind::kTcp:
      return "TCP " + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
    case Kind::kExec:
      return "EXEC \"" + command + "\"";
    case Kind::kNone:
      break;
  }
  return "";
}

bool HealthDef::splitAddress(const std::string& text, std::string& host, std::string& port,
                             std::string& reason) {
  size_t colon;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      reason = "expected [address]:port";
      return false;
    }
    host = text.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string::npos) {
      reason = "expected host:port";
      return false;
    }
    host = text.substr(0, colon);
    if (host.find(':') != std::string::npos) {
      reason = "an IPv6 address goes in brackets: [address]:port";
      return false;
    }
  }
  port = text.substr(colon + 1);
  if (host.empty()) {
    reason = "no host";
    return false;
  }
  char* end = nullptr;
  const long value = port.empty() ? 0 : strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || value < 1 || value > 65535) {
    reason = "bad port \"" + port + "\"";
    return false;
  }
  return true;
}

bool HealthDef::operator==(const HealthDef& o) const {
  return kind == o.kind && host == o.host && port == o.port && command == o.command &&
         interval == o.interval && timeout == o.timeout && retries == o.retries &&
         watchdog == o.watchdog;
}
