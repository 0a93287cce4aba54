#include "log_informer.h"

#include "log.h"

bool LogInformer::inform(const std::string& text) {
  logInfo("LogInform: " + text);
  return true;
}
