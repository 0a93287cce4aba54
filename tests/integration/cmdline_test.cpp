#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "file_util.h"
#include "temp_dir.h"

namespace {

const std::string kBinary = NORVAK_BIN_DIR "/program/norvak-monitor";
const std::string kHint = "Try 'norvak-monitor --help' for more options\n";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the program with the given (shell-quoted) arguments, stdin closed.
Outcome run(const std::string& args) {
  TempDir dir;
  const std::string out = dir.path() + "/out";
  const std::string err = dir.path() + "/err";
  const std::string cmd =
      "'" + kBinary + "' " + args + " </dev/null >'" + out + "' 2>'" + err + "'";
  int rc = system(cmd.c_str());
  Outcome r;
  if (rc != -1 && WIFEXITED(rc)) r.status = WEXITSTATUS(rc);
  r.out = readFile(out);
  r.err = readFile(err);
  return r;
}

TEST(CommandLineTest, HelpListsEveryOptionAndBeatsVersion) {
  Outcome help = run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Use: norvak-monitor [OPTION]:\n", 0), 0u) << help.out;
  const char* lines[] = {"-h [ --help ]", "display this message", "-v [ --version ]",
                         "display version", "-u [ --update ]", "use update mode",
                         "-C [ --check-only ]", "perform configuration check and exit",
                         "-A [ --check-all ]", "-r [ --run ] arg", "-c [ --conf ] arg",
                         "(=" NORVAK_DEFAULT_CONF ")", "use config file"};
  for (const char* line : lines) EXPECT_NE(help.out.find(line), std::string::npos) << line;
  // Declared order is listed order.
  EXPECT_LT(help.out.find("--help"), help.out.find("--version"));
  EXPECT_LT(help.out.find("--check-all"), help.out.find("--run"));
  EXPECT_LT(help.out.find("--run"), help.out.find("--conf"));

  Outcome both = run("--help --version");
  EXPECT_EQ(both.status, 0);
  EXPECT_EQ(both.out, help.out);
  Outcome shortBoth = run("-v -h");
  EXPECT_EQ(shortBoth.out, help.out);
}

TEST(CommandLineTest, Version) {
  for (const char* args : {"--version", "-v", "-v -C -r MAILD"}) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 0) << args;
    EXPECT_EQ(r.out, "norvak-monitor for Linux, version 6.0.0.201105110\n") << args;
    EXPECT_EQ(r.err, "") << args;
  }
}

TEST(CommandLineTest, ErrorsEndWithSixAndAHint) {
  Outcome bad = run("--bogus");
  EXPECT_EQ(bad.status, 6);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err.rfind("norvak-monitor: ", 0), 0u) << bad.err;
  EXPECT_NE(bad.err.find("--bogus"), std::string::npos);
  const size_t firstEnd = bad.err.find('\n');
  ASSERT_NE(firstEnd, std::string::npos);
  EXPECT_EQ(bad.err.substr(firstEnd + 1), kHint);

  for (const char* args : {"--run", "-c", "-r A -r B", "--conf=a --conf=b", "stray-word"}) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 6) << args;
    EXPECT_EQ(r.err.rfind("norvak-monitor: ", 0), 0u) << args << ": " << r.err;
    EXPECT_NE(r.err.find(kHint), std::string::npos) << args;
    EXPECT_EQ(r.out, "") << args;
  }
}

TEST(CommandLineTest, CheckAllImpliesCheckOnly) {
  // No daemon (the report would otherwise go to /dev/null from a detached
  // child) and a report on one of the two streams, whatever the config says.
  TempDir dir;
  Outcome r = run("-A -c '" + dir.path() + "/monitor.conf'");
  const bool ok = r.out.find("Options OK\n") != std::string::npos;
  const bool failed = r.err.find("Options ERROR\n") != std::string::npos;
  EXPECT_TRUE(ok != failed) << r.out << r.err;
  EXPECT_EQ(r.status, ok ? 0 : 8) << r.out << r.err;
}

}  // namespace
