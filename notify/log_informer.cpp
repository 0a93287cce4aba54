#include "notify/log_informer.h"

#include "frame/log.h"

bool LogInformer::inform(const std::string& text) {
  logInfo("LogInform: " + text);
  return true;
}
