// What the monitor makes of files that are not what they should be: a FIFO
// among the meta-configuration files or in place of the configuration file,
// a link or a FIFO in place of its pid file. None of them may hang it, and
// each is refused with a message naming the file. Every wait has a time-out,
// so a regression fails instead of hanging the run.

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/monitor_harness.h"

namespace {

using norvak_test::ConfValues;
using norvak_test::MonitorHarness;

// The agent alone, run by the default run list.
void writeAgent(MonitorHarness& h) {
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeConf(ConfValues());
}

void makeFifo(const std::string& path) {
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path << ": " << strerror(errno);
}

// A FIFO among the *.mmc files fails the load as an unreadable file does,
// and one in place of the configuration file is named and refused: start-up
// and check mode end with the error, nothing is started.
TEST(MonitorFilesTest, FifoAsMetaOrConfigurationFileIsRefusedAtStartAndInCheckMode) {
  const std::vector<std::vector<std::string>> modes = {{}, {"--check-only"}};
  for (const bool asConf : {false, true}) {
    for (const auto& args : modes) {
      SCOPED_TRACE(std::string(asConf ? "configuration file" : "meta file") +
                   (args.empty() ? "" : ", check mode"));
      MonitorHarness h;
      std::string line;
      if (asConf) {
        h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
        makeFifo(h.confFile());
        line = "program create error: config file \"" + h.confFile() + "\" is not a regular file.\n";
      } else {
        writeAgent(h);
        const std::string fifo = h.metaDir() + "zz.mmc";
        makeFifo(fifo);
        line = "program create error: file \"" + fifo + "\" is not a regular file\n";
      }
      std::string out, err;
      EXPECT_EQ(h.runToEnd(args, out, err), 8) << "did not end in time? " << err;
      if (asConf) {
        EXPECT_EQ(err, line + (args.empty() ? "" : "Options ERROR\n"));
      } else {
        EXPECT_NE(err.find(line), std::string::npos) << err;
        EXPECT_EQ(err.find("Options ERROR\n") != std::string::npos, !args.empty()) << err;
      }
      EXPECT_EQ(out.find("Options OK"), std::string::npos) << out;
      EXPECT_TRUE(h.starts("agent").empty()) << "nothing starts from a refused load";
      EXPECT_NE(access(h.pidFile().c_str(), F_OK), 0);
    }
  }
}

// At reload the new definitions are refused as a whole and the running ones
// stay supervised; once the FIFO is gone the next reload goes through.
TEST(MonitorFilesTest, FifoAddedBeforeReloadIsRefusedAndSupervisionGoesOn) {
  MonitorHarness h;
  writeAgent(h);
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  const pid_t agent = h.waitComponent("agent");
  ASSERT_GT(agent, 0);

  const std::string fifo = h.metaDir() + "late.mmc";
  makeFifo(fifo);
  size_t from = h.lineCount();
  h.signal(SIGHUP);
  EXPECT_GE(h.waitLine("reload error: file \"" + fifo + "\" is not a regular file", from), 0);
  // The components hear of the reload all the same, and live on.
  EXPECT_TRUE(h.waitLines(h.hupLog("agent"), 1)) << "the agent got no SIGHUP";
  EXPECT_EQ(h.componentPids("agent"), std::vector<pid_t>{agent});

  // A component that dies is still restarted: the main loop is not stuck.
  from = h.lineCount();
  ASSERT_EQ(kill(agent, SIGKILL), 0);
  const pid_t again = h.waitComponent("agent", agent);
  EXPECT_GT(again, 0) << "the killed agent was not restarted";

  unlink(fifo.c_str());
  h.writeMeta("web.mmc", h.app("WEB", "AGENT", {{"httpd"}}));
  from = h.lineCount();
  h.signal(SIGHUP);
  EXPECT_GE(h.waitLine("newApps: WEB", from), 0);
  EXPECT_LT(h.findLine("reload error", from), 0);
}

// Whoever may write in the pid-file directory cannot have the monitor
// overwrite another file through a link planted as its pid file, nor stall
// it with a FIFO there: it refuses to start and leaves them alone.
TEST(MonitorFilesTest, LinkOrFifoAsPidFileStopsTheStart) {
  for (const bool link : {true, false}) {
    MonitorHarness h;
    writeAgent(h);
    const std::string victim = h.root() + "/victim";
    norvak_test::writeFile(victim, "precious\n");
    if (link) {
      ASSERT_EQ(symlink(victim.c_str(), h.pidFile().c_str()), 0);
    } else {
      makeFifo(h.pidFile());
    }
    std::string out, err;
    EXPECT_EQ(h.runToEnd({}, out, err), 8) << "did not end in time? " << err;
    EXPECT_EQ(err, "program create error: error in create pid file \"" + h.pidFile() + "\": " +
                       (link ? "it is a symbolic link" : "it is not a regular file") + "\n");
    EXPECT_EQ(norvak_test::readFile(victim), "precious\n");
    EXPECT_TRUE(h.starts("agent").empty());
    struct stat st;
    ASSERT_EQ(lstat(h.pidFile().c_str(), &st), 0) << "what was planted is left in place";
    EXPECT_TRUE(link ? S_ISLNK(st.st_mode) : S_ISFIFO(st.st_mode));
  }
}

}  // namespace
