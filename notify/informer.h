#ifndef NORVAK_MONITOR_INFORMER_H_
#define NORVAK_MONITOR_INFORMER_H_

#include <memory>
#include <string>

// Where a component's failure, recovery and cannot-recover reports go.
// Delivery never throws: an informer logs its own failures. inform() must not
// block its caller (the main loop) on the far end of the delivery.
class Informer {
 public:
  // Log types: the value of a component's logType that selects the informer.
  enum Type { LOG = 1, MAIL = 2, COMMAND = 3 };

  virtual ~Informer() = default;

  // False when the text was not handed on at all.
  virtual bool inform(const std::string& text) = 0;
  virtual int type() const = 0;
};

// 1 gives a LogInformer, 2 a SenderInformer, 3 a CmdInformer running cmd;
// any other log type gives no informer (null).
std::unique_ptr<Informer> makeInformer(int logType, const std::string& cmd);

#endif  // NORVAK_MONITOR_INFORMER_H_
