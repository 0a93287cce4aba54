#ifndef NORVAK_PROGRAM_START_REPORT_H_
#define NORVAK_PROGRAM_START_REPORT_H_

#include <iosfwd>
#include <string>

// The link between the detaching parent and its daemon: without it the
// parent would leave with status 0 before anything had started, and a
// missing binary or a locked pid file would pass for success.
namespace start_report {

// Before the fork. Throws std::runtime_error when the pipe cannot be made.
void open();
// In the daemon: drops the parent's end.
void becomeDaemon();
// In the parent: waits at most `seconds` for the daemon's report, prints its
// error line on `err` and returns the status to leave with.
int awaitDaemon(int seconds, std::ostream& err);
// In the daemon: the first report wins; later ones and those without a
// waiting parent do nothing.
void send(int status, const std::string& line);

}  // namespace start_report

#endif  // NORVAK_PROGRAM_START_REPORT_H_
