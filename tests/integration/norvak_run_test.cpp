// norvak-run between a test playing the monitor and a real program: the
// start answer only once the readiness test passes and never for a program
// that ended first, signals relayed as asked, and norvak-run ending the way
// its program ended.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "loopback_port.h"
#include "frame/child_process.h"
#include "frame/spawn.h"
#include "ipc/nk_unique_fd.h"
#include "support/monitor_harness.h"
#include "support/program_run.h"
#include "temp_dir.h"
#include "wait_util.h"

namespace {

using norvak::base::UniqueFd;
using norvak_test::fileLines;

const std::string kRun = std::string(NORVAK_BIN_DIR) + "/tools/norvak-run";
const std::string kFake = std::string(NORVAK_BIN_DIR) + "/tools/fake-component";

const int kNoByteYet = -2;
const int kEndOfFile = -1;

// norvak-run as the monitor starts it: its standard output is the start
// pipe, whose read end the test holds.
struct Wrapped {
  ChildProcess child;
  UniqueFd pipe;

  // The next byte of the answer; kEndOfFile, or kNoByteYet after ms.
  int nextByte(int ms) {
    struct pollfd p = {pipe.get(), POLLIN, 0};
    int r;
    do {
      r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return kNoByteYet;
    char c;
    ssize_t n;
    do {
      n = read(pipe.get(), &c, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? static_cast<unsigned char>(c) : kEndOfFile;
  }

  // How it ended; fails the test (and kills it) when it does not end.
  ExitStatus end(int seconds = 30) {
    ExitStatus s;
    EXPECT_FALSE(child.waitOrKill(seconds, &s)) << "norvak-run did not end";
    return s;
  }
};

// run: norvak-run, or a link to it under a component's name.
Wrapped wrap(const std::vector<std::string>& args, const std::string& errPath = "", const std::string& run = kRun) {
  int fds[2];
  EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
  UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  UniqueFd err;
  if (!errPath.empty()) err.reset(open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  SpawnPlan plan;
  plan.path = run;
  plan.argv.push_back(run);
  plan.argv.insert(plan.argv.end(), args.begin(), args.end());
  plan.stdoutFd = writeEnd.get();
  plan.stderrFd = err ? err.get() : SpawnPlan::kNull;
  plan.clearSignalMask = true;
  Wrapped w;
  w.child = spawn(plan);
  w.pipe = std::move(readEnd);
  return w;
}

UniqueFd listenOn(int port) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(0, bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a));
  EXPECT_EQ(0, listen(s.get(), 8));
  return s;
}

// Not a zombie either: the process is really gone or dead.
bool alive(pid_t pid) {
  const std::vector<std::string> fields = statFields(pid);
  return !fields.empty() && fields[0] != "Z";
}

// A program that listens only in a process it started, as a shell script's
// server does; its command line names dir, so that killMentioning ends it.
std::vector<std::string> serverBelow(const std::string& python, const std::string& dir, const std::string& bind,
                                     int port) {
  return {"/bin/sh", "-c", python + " -m http.server --directory '" + dir + "' --bind " + bind + " " +
                               std::to_string(port) + " & wait"};
}

bool ipv6Loopback() {
  UniqueFd s(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in6 a = {};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  return s && bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

TEST(NorvakRunReadiness, TcpAnswersOnceTheProgramItselfListens) {
  const std::string python = norvak_test::findPython();
  if (python.empty()) GTEST_SKIP() << "python3 not installed";
  struct Case {
    const char* ready;  // the host of --ready-tcp
    const char* bind;   // where the server listens
    bool v6;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1", false},
      {"127.0.0.1", "0.0.0.0", false},
      {"[::1]", "::1", true},
      {"127.0.0.1", "::", true},  // one socket for both families
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.ready) + " served on " + c.bind);
    if (c.v6 && !ipv6Loopback()) continue;
    TempDir dir;
    const int port = freePort();
    std::vector<std::string> args = {"--ready-tcp", std::string(c.ready) + ":" + std::to_string(port), "--"};
    const std::vector<std::string> server = serverBelow(python, dir.path(), c.bind, port);
    args.insert(args.end(), server.begin(), server.end());
    Wrapped w = wrap(args);
    EXPECT_EQ(' ', w.nextByte(30000));
    norvak_test::killMentioning(dir.path());
    w.end();
  }
}

// Someone else on the port: the program that fails on it is never reported
// started, and one that waits is not either, however long.
TEST(NorvakRunReadiness, TcpNeverAnswersForAListenerOfAnotherProcess) {
  const std::string python = norvak_test::findPython();
  if (python.empty()) GTEST_SKIP() << "python3 not installed";
  TempDir dir;
  const int port = freePort();
  UniqueFd foreign = listenOn(port);
  const std::string ready = "127.0.0.1:" + std::to_string(port);

  Wrapped fails = wrap({"--ready-tcp", ready, "--", python, "-m", "http.server", "--directory", dir.path(),
                        "--bind", "127.0.0.1", std::to_string(port)});
  EXPECT_EQ(kEndOfFile, fails.nextByte(30000));
  const ExitStatus s = fails.end();
  EXPECT_TRUE(s.exited);
  EXPECT_NE(0, s.code) << "python's server ran on a port held by the test";

  const std::string err = dir.path() + "/err";
  Wrapped waits = wrap({"--ready-tcp", ready, "--", "/bin/sleep", "60"}, err);
  EXPECT_TRUE(waitForText(err, "held by another process")) << readFile(err);
  EXPECT_EQ(kNoByteYet, waits.nextByte(0));
  ASSERT_TRUE(waits.child.kill(SIGTERM));
  EXPECT_EQ(SIGTERM, waits.end().signal);
}

TEST(NorvakRunReadiness, FileAndDelayTests) {
  TempDir dir;
  const std::string flag = dir.path() + "/ready";
  Wrapped byFile = wrap({"--ready-file", flag, "--", "/bin/sh", "-c",
                         "sleep 0.3; touch '" + flag + "'; exec sleep 60"});
  EXPECT_EQ(' ', byFile.nextByte(30000));
  EXPECT_TRUE(pathExists(flag)) << "answered before the file existed";

  const auto begin = std::chrono::steady_clock::now();
  Wrapped byDelay = wrap({"--ready-delay", "0.4", "--", "/bin/sleep", "60"});
  EXPECT_EQ(' ', byDelay.nextByte(30000));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(400));

  byFile.child.kill(SIGTERM);
  byDelay.child.kill(SIGTERM);
  EXPECT_EQ(SIGTERM, byFile.end().signal);
  EXPECT_EQ(SIGTERM, byDelay.end().signal);
}

TEST(NorvakRunReadiness, NeverReadyWhenTheProgramEndsFirst) {
  TempDir dir;
  const int port = freePort();
  // Exits with a status of its own before the port would ever accept.
  Wrapped exits = wrap({"--ready-tcp", "127.0.0.1:" + std::to_string(port), "--", "/bin/sh", "-c", "exit 3"});
  EXPECT_EQ(kEndOfFile, exits.nextByte(30000));
  ExitStatus s = exits.end();
  EXPECT_TRUE(s.exited);
  EXPECT_EQ(3, s.code);

  // Killed by a signal before its file appears.
  Wrapped killed = wrap({"--ready-file", dir.path() + "/never", "--", "/bin/sh", "-c", "kill -USR1 $$"});
  EXPECT_EQ(kEndOfFile, killed.nextByte(30000));
  s = killed.end();
  EXPECT_FALSE(s.exited);
  EXPECT_EQ(SIGUSR1, s.signal);
}

// The program waits for the test's go, so that it ends only after its
// answer was read.
std::string afterGo(const std::string& go, const std::string& then) {
  return "while [ ! -e '" + go + "' ]; do sleep 0.02; done; " + then;
}

TEST(NorvakRunExit, StatusAndSignalOfTheProgramAfterItWasReady) {
  TempDir dir;
  const std::string go = dir.path() + "/go";
  Wrapped exits = wrap({"--", "/bin/sh", "-c", afterGo(go, "exit 7")});
  Wrapped dies = wrap({"--", "/bin/sh", "-c", afterGo(go, "kill -USR2 $$")});
  EXPECT_EQ(' ', exits.nextByte(30000));
  EXPECT_EQ(' ', dies.nextByte(30000));
  norvak_test::writeFile(go, "");

  EXPECT_EQ(kEndOfFile, exits.nextByte(30000));
  ExitStatus s = exits.end();
  EXPECT_TRUE(s.exited);
  EXPECT_EQ(7, s.code);
  s = dies.end();
  EXPECT_FALSE(s.exited);
  EXPECT_EQ(SIGUSR2, s.signal);
}

TEST(NorvakRunExit, AProgramThatCannotRunAnswersE) {
  TempDir dir;
  const std::string err = dir.path() + "/err";
  Wrapped missing = wrap({"--", dir.path() + "/no-such-program"}, err);
  EXPECT_EQ('E', missing.nextByte(30000));
  ExitStatus s = missing.end();
  EXPECT_TRUE(s.exited);
  EXPECT_EQ(127, s.code);
  EXPECT_NE(std::string::npos, readFile(err).find("no-such-program")) << readFile(err);

  const std::string notExecutable = dir.path() + "/plain";
  norvak_test::writeFile(notExecutable, "#!/bin/sh\n");
  Wrapped refused = wrap({"--", notExecutable}, err);
  EXPECT_EQ('E', refused.nextByte(30000));
  s = refused.end();
  EXPECT_TRUE(s.exited);
  EXPECT_EQ(126, s.code);

  Wrapped usage = wrap({"--hup", "sometimes", "--", "/bin/true"}, err);
  EXPECT_EQ('E', usage.nextByte(30000));
  s = usage.end();
  EXPECT_TRUE(s.exited);
  EXPECT_EQ(6, s.code);
}

// Everything up to the end of file, as the check-all handshake reads it.
std::string allOf(Wrapped& w) {
  std::string text;
  for (int b; (b = w.nextByte(30000)) >= 0;) text += static_cast<char>(b);
  return text;
}

TEST(NorvakRunExit, CheckModeTellsWhetherTheProgramCouldStart) {
  Wrapped good = wrap({"--", "/bin/sleep", "60", "--check-only"});
  EXPECT_EQ("Options OK\n", allOf(good));
  ExitStatus s = good.end();
  EXPECT_TRUE(s.exited);
  EXPECT_EQ(0, s.code);

  // The form of a check against another agent: the address comes last.
  Wrapped missing = wrap({"--", "/no/such/program", "--check-only", "local:/tmp/agent"});
  const std::string said = allOf(missing);
  EXPECT_NE(std::string::npos, said.find("/no/such/program")) << said;
  EXPECT_EQ(std::string::npos, said.find("Options OK")) << said;
  s = missing.end();
  EXPECT_TRUE(s.exited);
  EXPECT_EQ(1, s.code);
}

TEST(NorvakRunOutput, TheProgramsOutputGoesToTheFileNeverIntoThePipe) {
  TempDir dir;
  const std::string out = dir.path() + "/out.log";
  Wrapped w = wrap({"--output", out, "--", "/bin/sh", "-c", "echo to-stdout; echo to-stderr >&2; exec sleep 60"});
  EXPECT_EQ(' ', w.nextByte(30000));
  EXPECT_TRUE(waitUntil([&] { return readFile(out) == "to-stdout\nto-stderr\n"; })) << readFile(out);
  w.child.kill(SIGTERM);
  EXPECT_EQ(SIGTERM, w.end().signal);
  EXPECT_EQ(kEndOfFile, w.nextByte(30000)) << "the program wrote into the start pipe";

  // Its last words are in the file by the time norvak-run has ended.
  const std::string last = dir.path() + "/last.log";
  Wrapped exits = wrap({"--output", last, "--", "/bin/sh", "-c", "seq 1 20000; echo last words; exit 3"});
  EXPECT_EQ(3, exits.end().code);
  const std::string text = readFile(last);
  EXPECT_EQ(20000u + 1, lineCount(text));
  EXPECT_NE(std::string::npos, text.find("\n20000\nlast words\n"));
}

// The shipped logrotate file with its commented block for a component taken
// in, and the sample's directories moved into root.
std::string logrotateConf(const std::string& root) {
  std::istringstream in(readFile(std::string(NORVAK_SOURCE_DIR) + "/packaging/norvak-monitor.logrotate"));
  std::string conf;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#/", 0) == 0 || line.rfind("#}", 0) == 0 || line.rfind("#  ", 0) == 0) line.erase(0, 1);
    for (const char* dir : {"log", "run"}) {
      const std::string from = std::string("/var/") + dir + "/norvak/";
      for (size_t at; (at = line.find(from)) != std::string::npos;)
        line.replace(at, from.size(), root + "/" + dir + "/");
    }
    conf += line + "\n";
  }
  return conf;
}

// A rotation renames the file and sends SIGUSR1, by hand or through the
// shipped logrotate file's block, which finds the component as a child (of
// the test here, of the monitor in earnest) named after its link: what the
// program writes afterwards lands in a new file of the old name, and the
// program, which has no handler for SIGUSR1, lives on.
TEST(NorvakRunOutput, Sigusr1ReopensTheFileAfterARotation) {
  std::string logrotate;
  for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin"}) {
    if (access((std::string(dir) + "/logrotate").c_str(), X_OK) == 0) logrotate = std::string(dir) + "/logrotate";
  }
  for (const bool byLogrotate : {false, true}) {
    SCOPED_TRACE(byLogrotate ? "logrotate" : "by hand");
    if (byLogrotate && logrotate.empty()) GTEST_SKIP() << "logrotate not installed";
    TempDir dir;
    const std::string root = dir.path(), out = root + "/log/web.log", go = root + "/go";
    for (const char* sub : {"/log", "/run", "/bin"}) ASSERT_EQ(0, mkdir((root + sub).c_str(), 0755));
    ASSERT_EQ(0, symlink(kRun.c_str(), (root + "/bin/web").c_str()));
    norvak_test::writeFile(root + "/run/norvak-monitor.pid", std::to_string(getpid()) + "\n");
    norvak_test::writeFile(root + "/logrotate.conf", logrotateConf(root));

    const std::string program = "echo before; " + afterGo(go, "echo after; exec sleep 60");
    Wrapped w = wrap({"--output", out, "--", "/bin/sh", "-c", program}, "", root + "/bin/web");
    ASSERT_TRUE(waitForText(out, "before\n"));
    if (byLogrotate) {
      const norvak_test::ProgramRun run =
          norvak_test::runProgram({logrotate, "-f", "-s", root + "/state", root + "/logrotate.conf"});
      EXPECT_EQ(0, run.status) << run.out << run.err;
    } else {
      ASSERT_EQ(0, rename(out.c_str(), (out + ".1").c_str()));
      ASSERT_TRUE(w.child.kill(SIGUSR1));
    }
    EXPECT_EQ("before\n", readFile(out + ".1"));
    EXPECT_TRUE(waitUntil([&] { return pathExists(out); })) << "not reopened";
    norvak_test::writeFile(go, "");
    EXPECT_TRUE(waitForText(out, "after\n"));
    EXPECT_EQ("after\n", readFile(out));
    ASSERT_TRUE(w.child.kill(SIGTERM));
    EXPECT_EQ(SIGTERM, w.end().signal);
  }
}

// fake-component records every SIGHUP it gets and, by default, exits on
// SIGTERM; its arguments log exists once its signals are taken care of.
struct HupCase {
  TempDir dir;
  std::string hups = dir.path() + "/hups";
  std::string started = dir.path() + "/args";
  Wrapped w;

  explicit HupCase(const std::string& mode, const std::string& onTerm = "exit") {
    w = wrap({"--hup", mode, "--ready-file", started, "--output", dir.path() + "/out", "--", kFake,
              "--hup-log=" + hups, "--args-log=" + started, "--term=" + onTerm});
    EXPECT_EQ(' ', w.nextByte(30000));
  }
};

TEST(NorvakRunHup, PassIgnoreOrTerm) {
  {
    HupCase pass("pass");
    ASSERT_TRUE(pass.w.child.kill(SIGHUP));
    EXPECT_TRUE(waitUntil([&] { return fileLines(pass.hups).size() >= 1; }));
    ASSERT_TRUE(pass.w.child.kill(SIGHUP));
    EXPECT_TRUE(waitUntil([&] { return fileLines(pass.hups).size() >= 2; }));
    pass.w.child.kill(SIGTERM);
    const ExitStatus s = pass.w.end();
    EXPECT_TRUE(s.exited) << "fake-component ends on SIGTERM with status 0";
    EXPECT_EQ(0, s.code);
  }
  {
    // Relayed in the order they came: a SIGHUP passed on would be recorded
    // before the SIGTERM ends the program.
    HupCase ignore("ignore");
    ASSERT_TRUE(ignore.w.child.kill(SIGHUP));
    ASSERT_TRUE(ignore.w.child.kill(SIGTERM));
    EXPECT_TRUE(ignore.w.end().exited);
    EXPECT_TRUE(fileLines(ignore.hups).empty());
  }
  {
    HupCase term("term", "die");
    ASSERT_TRUE(term.w.child.kill(SIGHUP));
    const ExitStatus s = term.w.end();
    EXPECT_FALSE(s.exited);
    EXPECT_EQ(SIGTERM, s.signal);
    EXPECT_TRUE(fileLines(term.hups).empty());
  }
}

// The monitor's reloads send SIGHUP to every component; sleep, like most
// programs, has no handler for it. Relayed in order, a SIGHUP passed on
// would end it before the SIGTERM.
TEST(NorvakRunHup, ByDefaultAProgramWithoutAHandlerOutlivesIt) {
  Wrapped w = wrap({"--", "/bin/sleep", "60"});
  ASSERT_EQ(' ', w.nextByte(30000));
  ASSERT_TRUE(w.child.kill(SIGHUP));
  ASSERT_TRUE(w.child.kill(SIGTERM));
  EXPECT_EQ(SIGTERM, w.end().signal);
}

TEST(NorvakRunKilled, TakesTheProgramAlong) {
  Wrapped w = wrap({"--", "/bin/sleep", "60"});
  ASSERT_EQ(' ', w.nextByte(30000));
  const std::vector<pid_t> children = childrenOf(w.child.pid());
  ASSERT_EQ(1u, children.size());
  const pid_t program = children[0];
  ASSERT_TRUE(w.child.kill(SIGKILL));
  EXPECT_EQ(SIGKILL, w.end().signal);
  EXPECT_TRUE(waitUntil([&] { return !alive(program); })) << "the program outlived norvak-run";
}

}  // namespace
