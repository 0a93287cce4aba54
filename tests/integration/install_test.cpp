// `cmake --install --strip` of this build into temporary prefixes: what
// arrives where, that an administrator's files are never overwritten, that
// the programs are stripped, that the manual pages render cleanly, that the
// unit, samples, pages and programs name the configured prefix, that the
// systemd unit verifies, that the bash completion completes, and that the
// installed sample configuration passes the monitor's own check once its
// directories point into a temporary directory.

#include <elf.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/monitor_harness.h"
#include "temp_dir.h"

namespace {

using norvak_test::readFile;
using norvak_test::writeFile;

const std::string kBuild = NORVAK_BIN_DIR;

std::string quote(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell command line; its output (both streams) in out.
int sh(const std::string& command, std::string* out = nullptr) {
  TempDir dir;
  const std::string file = dir.path() + "/out";
  const int status = system((command + " >" + quote(file) + " 2>&1 </dev/null").c_str());
  if (out) *out = readFile(file);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool have(const std::string& tool) { return sh("command -v " + quote(tool)) == 0; }

bool isFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
bool isDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool isExecutable(const std::string& path) { return isFile(path) && access(path.c_str(), X_OK) == 0; }

// The prefix this build was configured with, as written into the files.
std::string configuredPrefix() {
  std::smatch m;
  const std::string cache = readFile(kBuild + "/CMakeCache.txt");
  if (std::regex_search(cache, m, std::regex("\nCMAKE_INSTALL_PREFIX:PATH=([^\n]*)"))) return m[1];
  return "/usr/local";
}

// The build's own installation into a fresh prefix, shared by the tests.
class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // cmake --install writes its manifest into the build directory; whoever
    // built the tree can, another user testing it cannot.
    if (access(kBuild.c_str(), W_OK) != 0) return;
    dir_ = new TempDir;
    prefix_ = dir_->path() + "/prefix";
    // An administrator's files, there before the installation.
    ASSERT_EQ(0, sh("mkdir -p " + quote(prefix_ + "/etc/norvak/monitor.meta")));
    writeFile(prefix_ + "/etc/norvak/monitor.conf", "# mine\n");
    writeFile(prefix_ + "/etc/norvak/monitor.meta/mine.mmc", "# mine too\n");
    ASSERT_EQ(0, sh(quote(NORVAK_CMAKE_COMMAND) + " --install " + quote(kBuild) + " --prefix " + quote(prefix_) +
                        " --strip",
                    &log_))
        << log_;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "build directory not writable";
  }

  static std::string at(const std::string& relative) { return prefix_ + "/" + relative; }

  static TempDir* dir_;
  static std::string prefix_;
  static std::string log_;
};

TempDir* Installed::dir_ = nullptr;
std::string Installed::prefix_;
std::string Installed::log_;

const std::vector<std::string> kPages = {"share/man/man8/norvak-monitor.8", "share/man/man8/norvak-monitor-ctl.8",
                                         "share/man/man5/norvak-monitor.conf.5", "share/man/man5/norvak-mmc.5",
                                         "share/man/man1/norvak-run.1"};

TEST_F(Installed, PutsEveryFileInItsPlaceAndNoAdministratorsFile) {
  EXPECT_TRUE(isExecutable(at("sbin/norvak-monitor"))) << log_;
  EXPECT_TRUE(isExecutable(at("bin/norvak-run")));
  if (isFile(kBuild + "/tools/norvak-monitor-ctl")) {
    EXPECT_TRUE(isExecutable(at("bin/norvak-monitor-ctl")));
  }
  for (const std::string& page : kPages) EXPECT_TRUE(isFile(at(page))) << page;
  EXPECT_TRUE(isFile(at("etc/norvak/monitor.conf.sample")));
  EXPECT_TRUE(isFile(at("etc/norvak/monitor.meta.sample/example.mmc")));
  EXPECT_TRUE(isDir(at("etc/norvak/monitor.meta")));
  EXPECT_TRUE(isFile(at("lib/systemd/system/norvak-monitor.service")));
  EXPECT_TRUE(isFile(at("etc/logrotate.d/norvak-monitor")));
  EXPECT_TRUE(isFile(at("share/doc/norvak-monitor/README.md")));
  if (isFile(kBuild + "/tools/norvak-monitor-ctl")) {
    EXPECT_TRUE(isFile(at("share/bash-completion/completions/norvak-monitor-ctl")));
  }

  EXPECT_EQ("# mine\n", readFile(at("etc/norvak/monitor.conf")));
  EXPECT_EQ("# mine too\n", readFile(at("etc/norvak/monitor.meta/mine.mmc")));
  std::string listing;
  sh("ls -A " + quote(at("etc/norvak/monitor.meta")), &listing);
  EXPECT_EQ("mine.mmc\n", listing) << "a sample landed where the monitor reads";
}

// The names of an ELF file's sections; empty when it is not a 64-bit ELF file.
std::set<std::string> elfSections(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Elf64_Ehdr eh{};
  if (!in.read(reinterpret_cast<char*>(&eh), sizeof eh) || std::string(reinterpret_cast<char*>(eh.e_ident), 4) != ELFMAG ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shstrndx >= eh.e_shnum)
    return {};
  std::vector<Elf64_Shdr> sh(eh.e_shnum);
  in.seekg(static_cast<std::streamoff>(eh.e_shoff));
  if (!in.read(reinterpret_cast<char*>(sh.data()), static_cast<std::streamsize>(sh.size() * sizeof sh[0]))) return {};
  std::string names(sh[eh.e_shstrndx].sh_size, '\0');
  in.seekg(static_cast<std::streamoff>(sh[eh.e_shstrndx].sh_offset));
  if (!in.read(&names[0], static_cast<std::streamsize>(names.size()))) return {};
  std::set<std::string> sections;
  for (const Elf64_Shdr& s : sh)
    if (s.sh_name < names.size()) sections.insert(names.c_str() + s.sh_name);
  return sections;
}

TEST_F(Installed, ProgramsAreStripped) {
  const std::set<std::string> built = elfSections(kBuild + "/program/norvak-monitor");
  if (built.empty()) GTEST_SKIP() << "not a 64-bit ELF build";
  ASSERT_EQ(1u, built.count(".symtab")) << "the build's own program has no symbol table to strip";
  std::vector<std::string> programs = {"sbin/norvak-monitor", "bin/norvak-run"};
  if (isFile(kBuild + "/tools/norvak-monitor-ctl")) programs.push_back("bin/norvak-monitor-ctl");
  for (const std::string& program : programs) {
    const std::set<std::string> sections = elfSections(at(program));
    EXPECT_TRUE(sections.count(".text")) << program;
    EXPECT_FALSE(sections.count(".symtab")) << program << " is not stripped";
    EXPECT_FALSE(sections.count(".debug_info")) << program << " is not stripped";
  }
}

// The default configuration file in a program's --help.
std::string helpDefaultConf(const std::string& program) {
  std::string out;
  sh(quote(program) + " --help", &out);
  std::smatch m;
  return std::regex_search(out, m, std::regex("--conf \\] arg \\(=([^)]*)\\)")) ? m[1].str() : "";
}

// The unit, the samples, the pages and the programs' default configuration
// file all name the prefix configured: this build's, and a prefix of the
// test's own in a build directory only configured.
TEST_F(Installed, FilesAndProgramsNameTheConfiguredPrefix) {
  const std::string sample = readFile(at("etc/norvak/monitor.conf.sample"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(sample, m, std::regex("\nMetaConfigDir = (/[^\n]*/)monitor\\.meta/\n"))) << sample;
  const std::string conf = m[1].str() + "monitor.conf";
  EXPECT_EQ(NORVAK_DEFAULT_CONF, conf);
  EXPECT_EQ(conf, helpDefaultConf(at("sbin/norvak-monitor")));
  if (isFile(at("bin/norvak-monitor-ctl"))) {
    EXPECT_EQ(conf, helpDefaultConf(at("bin/norvak-monitor-ctl")));
  }
  EXPECT_NE(std::string::npos, readFile(at("lib/systemd/system/norvak-monitor.service")).find(" --conf " + conf + "\n"));
  // Installed elsewhere than configured: said so.
  const std::string said = std::regex_replace(log_, std::regex("\\s+"), " ");
  EXPECT_NE(std::string::npos, said.find("configure with -DCMAKE_INSTALL_PREFIX=" + prefix_)) << log_;

  // Configured (not built) for this installation's prefix, from the same
  // sources with the same generator.
  TempDir dir;
  const std::string cache = readFile(kBuild + "/CMakeCache.txt");
  std::string generator = "Unix Makefiles";
  if (std::regex_search(cache, m, std::regex("\nCMAKE_GENERATOR:INTERNAL=([^\n]*)"))) generator = m[1];
  const std::string other = dir.path() + "/build";
  std::string out;
  ASSERT_EQ(0, sh(quote(NORVAK_CMAKE_COMMAND) + " -S " + quote(NORVAK_SOURCE_DIR) + " -B " + quote(other) + " -G " +
                      quote(generator) + " -DCMAKE_INSTALL_PREFIX=" + quote(prefix_) +
                      " -DNORVAK_TESTS=OFF -DNORVAK_BENCH=OFF",
                  &out))
      << out;
  std::vector<std::string> files = {"norvak-monitor.service", "norvak_monitor", "monitor.conf.sample", "example.mmc"};
  for (const std::string& page : kPages) files.push_back(page.substr(page.rfind('/') + 1));
  for (const std::string& file : files) {
    std::string text = readFile(other + "/dist/" + file);
    EXPECT_FALSE(text.empty()) << file;
    // The fixed search path of a clean environment is no installation prefix.
    text = std::regex_replace(text, std::regex("/usr/local/sbin:/usr/local/bin:/usr/sbin:"), "");
    EXPECT_EQ(std::string::npos, text.find("/usr/local")) << file << " names /usr/local";
    EXPECT_EQ(std::string::npos, text.find("@NORVAK_")) << file;
  }
  const std::string unit = readFile(other + "/dist/norvak-monitor.service");
  EXPECT_NE(std::string::npos,
            unit.find("\nExecStart=" + prefix_ + "/sbin/norvak-monitor --conf " + prefix_ + "/etc/norvak/monitor.conf\n"))
      << unit;
  // The programs of that build would read the prefix's configuration file.
  EXPECT_EQ(0, sh("grep -rqF " + quote("NORVAK_DEFAULT_CONF=\\\"" + prefix_ + "/etc/norvak/monitor.conf\\\"") + " " +
                  quote(other)))
      << "the default configuration file does not follow the prefix";

  // That unit names the programs installed here, as it is.
  if (!have("systemd-analyze")) GTEST_SKIP() << "systemd-analyze not installed";
  const std::string path = dir.path() + "/norvak-monitor.service";
  writeFile(path, unit);
  EXPECT_EQ(0, sh("SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no " + quote(path), &out)) << out;
  EXPECT_EQ(std::string::npos, out.find("norvak-monitor.service")) << out;
}

// What bash offers after the words given (the last one being completed),
// with the installed completion script and no bash-completion package.
std::set<std::string> completions(const std::string& script, const std::vector<std::string>& words) {
  std::string array;
  for (const std::string& w : words) array += " " + quote(w);
  std::string out;
  sh("bash --norc --noprofile -c " + quote("source " + quote(script) + " && COMP_WORDS=(" + array +
                                             ") && COMP_CWORD=" + std::to_string(words.size() - 1) +
                                             " && _norvak_monitor_ctl && printf '%s\\n' \"${COMPREPLY[@]}\""),
     &out);
  std::set<std::string> offered;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) offered.insert(line);
  return offered;
}

TEST_F(Installed, BashCompletionOffersCommandsOptionsAndTheMonitorsApplications) {
  const std::string script = at("share/bash-completion/completions/norvak-monitor-ctl");
  if (!isFile(kBuild + "/tools/norvak-monitor-ctl") || !have("bash")) GTEST_SKIP() << "no norvak-monitor-ctl or bash";
  const std::string ctl = at("bin/norvak-monitor-ctl");
  EXPECT_EQ((std::set<std::string>{"reload", "update", "status", "start", "stop", "restart", "logs",
                                    "reopen-logs"}),
            completions(script, {ctl, ""}));
  EXPECT_EQ((std::set<std::string>{"restart", "reload", "reopen-logs"}),
            completions(script, {ctl, "-t", "5", "re"}));
  EXPECT_EQ((std::set<std::string>{"--conf"}), completions(script, {ctl, "--co"}));
  EXPECT_EQ((std::set<std::string>{"--json"}), completions(script, {ctl, "status", "--j"}));

  norvak_test::MonitorHarness h;
  h.writeMeta("agent.mmc", h.app("AGENT", "", {{"agent"}}));
  h.writeMeta("maild.mmc", h.app("MAILD", "AGENT", {{"maild"}, {"smtpd"}}));
  h.writeMeta("mx.mmc", h.app("MX", "AGENT", {{"mx"}}));
  h.writeConf(norvak_test::ConfValues("AGENT, MAILD, MX"));
  h.setConfValue("Address", "local:" + h.runDir() + "mgmt.sock");
  ASSERT_TRUE(h.startUp()) << h.stderrText();
  EXPECT_EQ((std::set<std::string>{"AGENT", "MAILD", "MX"}),
            completions(script, {ctl, "--conf", h.confFile(), "status", ""}));
  EXPECT_EQ((std::set<std::string>{"MAILD", "MX"}), completions(script, {ctl, "-c", h.confFile(), "stop", "M"}));
  EXPECT_EQ((std::set<std::string>{}), completions(script, {ctl, "-c", h.confFile(), "stop", "MX", ""}));
  EXPECT_EQ((std::set<std::string>{"MAILD", "MX"}),
            completions(script, {ctl, "-c", h.confFile(), "logs", "-n", "5", "M"}));
  // No monitor there: nothing, at once.
  EXPECT_EQ((std::set<std::string>{}), completions(script, {ctl, "-a", "local:" + h.root() + "/none", "start", ""}));
}

TEST_F(Installed, HonoursDestdir) {
  TempDir stage;
  std::string out;
  ASSERT_EQ(0, sh("DESTDIR=" + quote(stage.path()) + " " + quote(NORVAK_CMAKE_COMMAND) + " --install " +
                      quote(kBuild) + " --prefix /opt/norvak",
                  &out))
      << out;
  EXPECT_TRUE(isExecutable(stage.path() + "/opt/norvak/sbin/norvak-monitor")) << out;
  EXPECT_TRUE(isFile(stage.path() + "/opt/norvak/etc/norvak/monitor.conf.sample"));
  EXPECT_FALSE(isDir("/opt/norvak/sbin")) << "installed outside DESTDIR";
}

TEST_F(Installed, ManualPagesRenderWithoutWarnings) {
  if (!have("groff")) GTEST_SKIP() << "groff not installed";
  for (const std::string& page : kPages) {
    std::string out;
    EXPECT_EQ(0, sh("groff -man -ww -z " + quote(at(page)), &out)) << page;
    EXPECT_EQ("", out) << page;
    // Every @NAME@ of the templates was replaced.
    EXPECT_EQ(std::string::npos, readFile(at(page)).find("@NORVAK_")) << page;
  }
}

// Keys of the sample in file order, as "Section/Key".
std::vector<std::string> sampleKeys(const std::string& text) {
  std::vector<std::string> keys;
  std::istringstream in(text);
  std::string line, section;
  const std::regex header("^\\[([A-Za-z]+)\\]\\s*$"), key("^([A-Za-z]+)\\s*=.*");
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, header)) {
      section = m[1];
    } else if (std::regex_match(line, m, key)) {
      keys.push_back(section + "/" + std::string(m[1]));
    }
  }
  return keys;
}

TEST_F(Installed, ConfigurationPageDescribesEveryKeyOfTheSampleWithItsDefault) {
  const std::string sample = readFile(at("etc/norvak/monitor.conf.sample"));
  const std::string page = readFile(at("share/man/man5/norvak-monitor.conf.5"));
  const std::vector<std::string> keys = sampleKeys(sample);
  EXPECT_EQ(25u, keys.size());
  for (const std::string& k : keys) {
    const std::string name = k.substr(k.find('/') + 1);
    EXPECT_NE(std::string::npos, page.find("\\fB" + name + " = ")) << name << " has no entry in the page";
  }
  // Each "Default:" of the sample is the page's.
  std::istringstream in(sample);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# Default: ", 0) != 0 || line == "# Default: empty") continue;
    std::string value = line.substr(11);
    std::string troff;
    for (char c : value) troff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(std::string::npos, page.find("\\fB" + troff + "\\fR.")) << line;
  }
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::string::size_type at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// What an administrator does with the sample, into a temporary directory:
// the directories that the service makes, and the meta directory.
TEST_F(Installed, SamplePassesTheMonitorsCheckWithItsDirectoriesMoved) {
  TempDir dir;
  const std::string root = dir.path();
  ASSERT_EQ(0, sh("mkdir -p " + quote(root + "/log") + " " + quote(root + "/run") + " " + quote(root + "/meta")));
  // The sample names the configured prefix's programs; these are installed here.
  const std::string mmc = readFile(at("etc/norvak/monitor.meta.sample/example.mmc"));
  const std::string bin = "PATH \"" + configuredPrefix() + "/bin\"";
  ASSERT_NE(std::string::npos, mmc.find(bin)) << mmc;
  writeFile(root + "/meta/example.mmc", replaceAll(mmc, bin, "PATH \"" + prefix_ + "/bin\""));
  std::string conf = readFile(at("etc/norvak/monitor.conf.sample"));
  const std::string etc = configuredPrefix() + "/etc/norvak/";
  ASSERT_NE(std::string::npos, conf.find("MetaConfigDir = " + etc + "monitor.meta/"));
  conf = replaceAll(conf, "MetaConfigDir = " + etc + "monitor.meta/", "MetaConfigDir = " + root + "/meta/");
  conf = replaceAll(conf, "/var/log/norvak/", root + "/log/");
  conf = replaceAll(conf, "/var/run/norvak/", root + "/run/");

  // No other directory is left that an administrator would have to know of:
  // only the agent's socket and the mail command, which are not ours.
  std::istringstream in(conf);
  std::string line;
  const std::regex setting("^[A-Za-z]+\\s*=\\s*(.*)$");
  std::smatch m;
  while (std::getline(in, line)) {
    if (!std::regex_match(line, m, setting)) continue;
    const std::string value = m[1];
    const std::string::size_type slash = value.find('/');
    if (slash == std::string::npos || value.compare(slash, root.size(), root) == 0 || value == "/") continue;
    EXPECT_TRUE(line.rfind("AgentAddress", 0) == 0 || line.rfind("InjectCmd", 0) == 0) << line;
  }
  writeFile(root + "/monitor.conf", conf);

  std::string out;
  const int status = sh(quote(at("sbin/norvak-monitor")) + " --check-only --conf " + quote(root + "/monitor.conf"), &out);
  EXPECT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("Options OK")) << out;
  EXPECT_EQ(std::string::npos, out.find("Options ERROR")) << out;
  EXPECT_EQ(std::string::npos, out.find(" WARN ")) << out;
  EXPECT_EQ(std::string::npos, out.find(" ERROR ")) << out;
}

// The sample's own directories are made by the services that start it.
TEST_F(Installed, ServicesMakeTheDirectoriesTheSampleNames) {
  const std::string unit = readFile(at("lib/systemd/system/norvak-monitor.service"));
  const std::string rc = readFile(kBuild + "/dist/norvak_monitor");
  EXPECT_NE(std::string::npos, unit.find("\nRuntimeDirectory=norvak\n"));  // /run/norvak = /var/run/norvak
  EXPECT_NE(std::string::npos, unit.find("\nLogsDirectory=norvak\n"));     // /var/log/norvak
  EXPECT_NE(std::string::npos, unit.find("\nType=notify\n"));
  EXPECT_NE(std::string::npos, rc.find("/var/log/norvak"));
  EXPECT_NE(std::string::npos, rc.find("/var/run/norvak/norvak-monitor.pid"));
  std::string out;
  EXPECT_EQ(0, sh("sh -n " + quote(kBuild + "/dist/norvak_monitor"), &out)) << out;
}

// It rotates the log that the sample writes and signals the pid of the
// sample's pid file.
TEST_F(Installed, LogrotateFileFollowsTheSample) {
  const std::string file = at("etc/logrotate.d/norvak-monitor");
  const std::string rotate = readFile(file), sample = readFile(at("etc/norvak/monitor.conf.sample"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(sample, m, std::regex("\nFileName = (/[^\n]*)\n")));
  EXPECT_NE(std::string::npos, rotate.find("\n" + m[1].str() + " {\n")) << m[1];
  ASSERT_TRUE(std::regex_search(sample, m, std::regex("\nPidFileDir = (/[^\n]*/)\n")));
  EXPECT_NE(std::string::npos, rotate.find("cat " + m[1].str() + "norvak-monitor.pid")) << m[1];
  if (!have("logrotate")) GTEST_SKIP() << "logrotate not installed";
  TempDir dir;
  std::string out;
  EXPECT_EQ(0, sh("logrotate -d -s " + quote(dir.path() + "/state") + " " + quote(file), &out)) << out;
  EXPECT_EQ(std::string::npos, out.find("error")) << out;
}

// The demo's configuration and every *.mmc file of the demo suite, as
// scripts/demo.sh lays them out, pass the monitor's check as shipped.
TEST(ShippedExamples, DemoSuitePassesTheMonitorsCheck) {
  TempDir dir;
  const std::string demo = dir.path();
  ASSERT_EQ(0, sh("mkdir -p " + quote(demo) + "/bin " + quote(demo) + "/log " + quote(demo) + "/run " +
                  quote(demo) + "/mail " + quote(demo) + "/meta"));
  const std::string source = NORVAK_SOURCE_DIR;
  std::string files;
  ASSERT_EQ(0, sh("cd " + quote(source + "/examples/meta") + " && ls *.mmc", &files));
  std::istringstream names(files);
  for (std::string name; std::getline(names, name);) {
    writeFile(demo + "/meta/" + name, replaceAll(readFile(source + "/examples/meta/" + name), "@DEMO_DIR@", demo));
  }
  writeFile(demo + "/monitor.conf", replaceAll(readFile(source + "/examples/demo/monitor.conf"), "@DEMO_DIR@", demo));
  // The programs, linked as the demo script links them: the check looks at them.
  std::string links;
  for (const char* comp : {"maild", "smtpd", "scanner", "notifier", "httpd"})
    links += " && ln -s " + quote(kBuild + "/tools/fake-component") + " " + quote(demo + "/bin/" + comp);
  ASSERT_EQ(0, sh("ln -s " + quote(kBuild + "/tools/fake-agent") + " " + quote(demo + "/bin/agent") + " && ln -s " +
                  quote(kBuild + "/tools/norvak-run") + " " + quote(demo + "/bin/static") + links));
  std::string out;
  EXPECT_EQ(0, sh(quote(kBuild + "/program/norvak-monitor") + " --check-only --conf " + quote(demo + "/monitor.conf"),
                  &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("Options OK")) << out;
  EXPECT_EQ(std::string::npos, out.find(" WARN ")) << out;
}

}  // namespace
