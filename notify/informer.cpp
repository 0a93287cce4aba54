#include "notify/informer.h"

#include "notify/cmd_informer.h"
#include "notify/log_informer.h"
#include "notify/sender_informer.h"

std::unique_ptr<Informer> makeInformer(int logType, const std::string& cmd) {
  switch (logType) {
    case Informer::LOG:
      return std::make_unique<LogInformer>();
    case Informer::MAIL:
      return std::make_unique<SenderInformer>();
    case Informer::COMMAND:
      return std::make_unique<CmdInformer>(cmd);
    default:
      return nullptr;
  }
}
