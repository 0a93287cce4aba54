#include "monitor/start_app_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "frame/app_name_less.h"
#include "log_file_test.h"
#include "monitor/app_store.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "thrown_text.h"

namespace {

typedef std::vector<std::string> Strings;

class StartAppConfigTest : public LogFileTest {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_.path() + "/" + name) << text;
    return dir_.path() + "/" + name;
  }

  // Parses text as a file of its own into a fresh store; the log is emptied.
  bool parse(const std::string& text) {
    std::ofstream(logFile_, std::ios::trunc).close();
    store_.reset(new AppStore(false));
    return StartAppConfig(write("t.mmc", text)).parse(*store_);
  }

  Strings lines(const std::string& level) const {
    std::ifstream in(logFile_);
    Strings out;
    const std::string mark = " monitor " + level + " ";
    for (std::string line; std::getline(in, line);) {
      size_t at = line.find(mark);
      if (at != std::string::npos) out.push_back(line.substr(at + mark.size()));
    }
    return out;
  }

  // Applications as "name(full name)[path]{deps}" and their components as
  // "name|argv|start|stop|log|cmd|user:group", with "|agent" when flagged.
  Strings described() const {
    Strings out;
    for (const auto& app : store_->applications()) {
      std::string deps;
      for (const std::string& d : app->dependencies()) deps += (deps.empty() ? "" : ",") + d;
      out.push_back(app->name() + "(" + app->fullName() + ")[" + app->path() + "]{" + deps + "}");
      for (const Component& c : app->components()) {
        out.push_back(c.name() + "|" + c.argv() + "|" + std::to_string(c.timeStart()) + "|" +
                      std::to_string(c.timeStop()) + "|" + std::to_string(c.logType()) + "|" +
                      c.cmd() + "|" + c.permissions() + (c.isAgent() ? "|agent" : ""));
      }
    }
    return out;
  }

  std::unique_ptr<AppStore> store_;
};

TEST_F(StartAppConfigTest, CompleteExampleGivesItsApplication) {
  ASSERT_TRUE(parse(
      "APPLICATION Filter   \n"
      "  FULLNAME \"Mail filter\"\n"
      "  PATH /usr/local/libexec/filter\n"
      "  DEPENDS AGENT, MAILD      # a comment after a blank\n"
      "  COMPONENTS\n"
      "    scanner \"/usr/local/libexec/filter/scanner --foreground\" 30 60 MAIL mailnull:mail\n"
      "    notifier \"/usr/local/libexec/filter/notify -d\" 10 10 LOG -\n"
      "    cleaner /usr/local/libexec/filter/cleaner 30 30 \"/usr/bin/logger -t cleaner\" root\n"
      "  ENDCOMPONENTS\n"
      "ENDAPPLICATION\n"));
  EXPECT_EQ(described(),
            (Strings{"Filter(Mail filter)[/usr/local/libexec/filter/]{AGENT,MAILD}",
                     "scanner|/usr/local/libexec/filter/scanner --foreground|30|60|2||mailnull:mail",
                     "notifier|/usr/local/libexec/filter/notify -d|10|10|1||:",
                     "cleaner|/usr/local/libexec/filter/cleaner|30|30|3|/usr/bin/logger -t cleaner|"
                     "root:"}));
  EXPECT_TRUE(lines("ERROR").empty());
  EXPECT_TRUE(lines("WARN").empty());
}

TEST_F(StartAppConfigTest, ValueForms) {
  EXPECT_TRUE(parse("\n# only a comment\n\t\n"));
  EXPECT_TRUE(described().empty());
  EXPECT_TRUE(parse(
      "application a\n"
      "  fullname Web server\n"  // only the first string counts
      "  path -\n"
      "  depends ,b c, B,\n"
      "  components\n"
      "    x - 30s 99999999999 mail wheel:\n"
      "    y \"multi \\\n line\" 1 2 log :wheel\n"
      "    z \\\n \"joined\" 1 \\\n 2 LOG a::b\n"
      "    x dup 1 1 LOG \"\"\n"
      "  endcomponents\n"
      "EndApplication\n"
      "Application \"APPLICATION\"\n"
      "  PATH \"/opt/x/\"\n"
      "  COMPONENTS\n"
      "    \"log\" - 1 1 - -\n"
      "  ENDCOMPONENTS\n"
      "ENDAPPLICATION\n"
      "APPLICATION agent\nCOMPONENTS\n a - 1 1 LOG -\nENDCOMPONENTS\nENDAPPLICATION"));
  EXPECT_EQ(described(), (Strings{"a(Web)[]{b,c}", "x||30|2147483647|2||wheel:",
                                  "y|multi \n line|1|2|1||wheel:", "z|joined|1|2|1||a:b",
                                  "x|dup|1|1|1||:", "APPLICATION()[/opt/x/]{}", "log||1|1|3||:",
                                  "agent()[]{}", "a||1|1|1||:|agent"}));
  EXPECT_EQ(lines("WARN").size(), 2u);  // the big number, once per extra digit
}

TEST_F(StartAppConfigTest, ErrorsNameTheirLineAndParsingGoesOn) {
  const struct {
    std::string text;
    std::vector<std::pair<int, std::string>> errors;
    Strings apps;  // application names and component names, in order
  } cases[] = {
      {"APPLICATION log\nDEPENDS path, \"path\"\nCOMPONENTS\n  path x 1 1 LOG -\n"
       "  \"mail\" x 1 1 LOG -\nENDCOMPONENTS\nENDAPPLICATION\n",
       {{1, "invalid application name"},
        {2, "invalid syntax near unexpected token keyword 'PATH'"},
        {4, "error component name keyword 'PATH'"}},
       {"", "mail"}},
      {"\nAPPLICATION a\nCOMPONENTS\n  ./run x 1 1 LOG -\n  9lives x 1 1 LOG -\n"
       "ENDCOMPONENTS\nENDAPPLICATION\n",
       {{4, "error component name unknown"}, {5, "error component name number 9"}},
       {"a"}},
      {"APPLICATION My App\nENDAPPLICATION\nAPPLICATION 5\nENDAPPLICATION\n",
       {{1, "invalid syntax: application name must bee without spaces"},
        {3, "invalid application name"}},
       {"My", ""}},
      {"APPLICATION a\nCOMPONENTS\n  five x 1 1 MAIL\n  four x 1 1\n  good x 1 1 LOG -\n"
       "  noargv\n  starts x s 1 LOG -\n  stops x 1 - LOG -\n  logtype x 1 1 5 root\n"
       "  three x 1 1 LOG a:b:c\nENDCOMPONENTS\nENDAPPLICATION\n",
       {{3, "error component parametr User"},
        {4, "error component parametr LogType"},
        {4, "error component parametr User"},
        {6, "error component parametr argv "},
        {7, "error component parametr TimeStart "},
        {8, "error component parametr TimeStop "},
        {9, "error component parametr LogType"},
        {10, "error component parametr User. Use USER:GROUP"}},
       {"a", "good", "logtype"}},
      {"APPLICATION a\nDEPENDS A,,B 7\nENDAPPLICATION\n",
       {{2, "one too many ','"}, {2, "invalid syntax near unexpected token number 7"}},
       {"a"}},
      {"APPLICATION a\nCOMPONENTS\n  c x 1 1 LOG -\n", {{4, "error component name unknown"}},
       {"a", "c"}},
      {"APPLICATION a\nFULLNAME A\nAPPLICATION b\nCOMPONENTS\n  c x 1 1 LOG -\nENDCOMPONENTS\n"
       "ENDAPPLICATION\n",
       {{3, "unknown application parameter: keyword 'APPLICATION'"}},
       {"a", "c"}},
      {"FULLNAME x\nAPPLICATION a\nENDAPPLICATION trailing\nRUNAPP a\n, x\n",
       {{1, "unknown section: keyword 'FULLNAME'"},
        {3, "unknown section: string 'trailing'"},
        {4, "unknown section: keyword 'RUNAPP'"},
        {5, "unknown section: ','"}},
       {"a"}},
      {"APPLICATION a\nFULLNAME\nPATH ,\nID 7\n\"FULLNAME\" x\nENDAPPLICATION\n",
       {{2, "parameter value error"},
        {3, "parameter value error"},
        {4, "unknown application parameter: keyword 'ID'"},
        {5, "unknown application parameter: string 'FULLNAME'"}},
       {"a"}},
      {"APPLICATION Mailer\nENDAPPLICATION\nAPPLICATION MAILER\nENDAPPLICATION\n",
       {{4, "dublicate application \"MAILER\". Possible there is unnecessary *.mmc file"}},
       {"Mailer"}},
      {"APPLICATION a\nLIMIT NOFILE\nLIMIT c NOFILE 1 2\nLIMIT FILES 1\nLIMIT NOFILE 2:1\n"
       "LIMIT CORE 1Q\nMEMORY 0\nMEMORY c 5T\nENV 1X=y\nENV c NOEQUALS\nENVIRONMENT DIRTY\n"
       "ENV , A=b\nLIMIT ghost CORE 0\nCOMPONENTS\n  c x 1 1 LOG -\nENDCOMPONENTS\n"
       "ENDAPPLICATION\n",
       {{2, "use LIMIT [component] resource value"},
        {3, "use LIMIT [component] resource value"},
        {4, "LIMIT: unknown resource 'FILES'"},
        {5, "LIMIT: soft limit above hard limit in '2:1'"},
        {6, "LIMIT: bad limit '1Q'"},
        {7, "MEMORY: bad size '0'"},
        {8, "MEMORY: bad size '5T'"},
        {9, "ENV: bad variable '1X=y'"},
        {10, "ENV: bad variable 'NOEQUALS'"},
        {11, "ENVIRONMENT: use CLEAN or INHERIT, not 'DIRTY'"},
        {12, "invalid syntax near unexpected token ','"},
        {13, "unknown component 'ghost'"}},
       {"a", "c"}},
      // Health lines: each error drops its line; names are checked at the end.
      {"APPLICATION a\nHEALTH ghost TCP h:1\nHEALTH c UDP h:1\nHEALTH c TCP h\n"
       "HEALTH c TCP ::1:25\nHEALTH c TCP h:70000\nHEALTH c EXEC -\nHEALTH c EXEC x RETRIES 0\n"
       "HEALTH c EXEC x TIMEOUT 1 TIMEOUT 2\nWATCHDOG c\nWATCHDOG c 5 x\nHEALTH 7\n"
       "COMPONENTS\n  c x 1 1 LOG -\nENDCOMPONENTS\nWATCHDOG c 5\nWATCHDOG c 6\n"
       "HEALTH c TCP h:1\nHEALTH c EXEC y\nENDAPPLICATION\n",
       {{3, "HEALTH: TCP or EXEC expected, not string 'UDP'"},
        {4, "HEALTH: error TCP address \"h\": expected host:port"},
        {5, "HEALTH: error TCP address \"::1:25\": an IPv6 address goes in brackets: "
            "[address]:port"},
        {6, "HEALTH: error TCP address \"h:70000\": bad port \"70000\""},
        {7, "HEALTH: error EXEC command string ''"},
        {8, "HEALTH: RETRIES needs a number above 0, not number 0"},
        {9, "HEALTH: unexpected string 'TIMEOUT'"},
        {10, "WATCHDOG: seconds above 0 expected, not unknown"},
        {11, "WATCHDOG: unexpected string 'x'"},
        {12, "HEALTH: error component name number 7"},
        {2, "HEALTH: unknown component \"ghost\""},
        {17, "WATCHDOG: component \"c\" has a watchdog already"},
        {19, "HEALTH: component \"c\" has a check already"}},
       {"a", "c"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(parse(c.text));
    Strings expected;
    for (const auto& e : c.errors) {
      expected.push_back("config file \"" + dir_.path() + "/t.mmc\":" + std::to_string(e.first) +
                         ":" + e.second);
    }
    EXPECT_EQ(lines("ERROR"), expected);
    Strings apps;
    for (const auto& app : store_->applications()) {
      apps.push_back(app->name());
      for (const Component& comp : app->components()) apps.push_back(comp.name());
    }
    EXPECT_EQ(apps, c.apps);
  }
}

TEST_F(StartAppConfigTest, ProcessSettingsGoToTheirComponentsOverTheApplications) {
  ASSERT_TRUE(parse(
      "APPLICATION a\n"
      "  LIMIT scanner NOFILE 64:128\n"  // before the component
      "  limit core 0\n"
      "  LIMIT AS 2G\n"
      "  MEMORY env unlimited\n"
      "  Memory 512m\n"
      "  ENVIRONMENT CLEAN\n"
      "  ENV \"GREETING=hello world\"\n"
      "  ENV env PATH=/opt/bin:/bin\n"
      "  ENV env GREETING=$HOME # taken as it stands\n"
      "  environment env inherit\n"
      "  COMPONENTS\n"
      "    scanner - 1 1 LOG -\n"
      "    env - 1 1 LOG -\n"  // no reserved word
      "  ENDCOMPONENTS\n"
      "  LIMIT env NPROC unlimited\n"
      "ENDAPPLICATION\n"
      "APPLICATION plain\nCOMPONENTS\n  c - 1 1 LOG -\nENDCOMPONENTS\nENDAPPLICATION\n"));
  Strings got;
  for (const auto& app : store_->applications()) {
    for (const Component& c : app->components()) {
      std::string text = c.name() + "|";
      for (const ResourceLimit& l : c.def().limits) text += l.text() + ",";
      text += "|" + std::to_string(c.def().memoryMax) + "|" +
              (c.def().cleanEnvironment ? "clean" : "inherit") + "|";
      for (const std::string& v : c.def().environment) text += v + ",";
      got.push_back(text);
    }
  }
  EXPECT_EQ(got, (Strings{"scanner|CORE 0,AS 2147483648,NOFILE 64:128,|536870912|clean|"
                          "GREETING=hello world,",
                          "env|CORE 0,AS 2147483648,NPROC unlimited,|0|inherit|"
                          "GREETING=$HOME,PATH=/opt/bin:/bin,",
                          "c||0|inherit|"}));
  EXPECT_TRUE(lines("ERROR").empty());
}

TEST_F(StartAppConfigTest, HealthLinesGiveChecksWithTheirDefaults) {
  ASSERT_TRUE(parse(
      "APPLICATION a\n"
      "  health Web exec \"/usr/libexec/check-web --quick\" interval 30 TIMEOUT 5 RETRIES 2\n"
      "  COMPONENTS\n"
      "    scanner x 1 1 LOG -\n"
      "    Web x 1 1 LOG -\n"
      "    v6 x 1 1 LOG -\n"
      "  ENDCOMPONENTS\n"
      "  HEALTH scanner TCP 127.0.0.1:25 # defaults\n"
      "  HEALTH v6 TCP [::1]:8080 RETRIES 1\n"
      "  WATCHDOG scanner 20\n"
      "ENDAPPLICATION\n"));
  auto text = [](const Component& c) {
    const HealthDef& h = c.health();
    return h.label() + "|" + h.host + "|" + h.port + "|" + std::to_string(h.interval) + "|" +
           std::to_string(h.timeout) + "|" + std::to_string(h.retries) + "|" +
           std::to_string(h.watchdog);
  };
  const auto& comps = store_->applications().front()->components();
  ASSERT_EQ(comps.size(), 3u);
  EXPECT_EQ(text(comps[0]), "TCP 127.0.0.1:25|127.0.0.1|25|10|5|3|20");
  EXPECT_EQ(text(comps[1]), "EXEC \"/usr/libexec/check-web --quick\"|||30|5|2|0");
  EXPECT_EQ(text(comps[2]), "TCP [::1]:8080|::1|8080|10|5|1|0");
}

TEST_F(StartAppConfigTest, OnlyRegularFilesAreReadAndFailuresSayWhy) {
  auto refusal = [](const std::string& path) {
    return thrownText<StartAppConfig::LexerError>([&] { StartAppConfig conf(path); });
  };
  const std::string absent = dir_.path() + "/absent.mmc";
  EXPECT_EQ(refusal(absent),
            "cannot read file \"" + absent + "\": " + std::string(strerror(ENOENT)));
  // Root reads whatever the mode says.
  if (geteuid() != 0) {
    const std::string locked = write("locked.mmc", "APPLICATION X\nENDAPPLICATION\n");
    chmod(locked.c_str(), 0);
    EXPECT_EQ(refusal(locked),
              "cannot read file \"" + locked + "\": " + std::string(strerror(EACCES)));
  }

  // A FIFO would hold the reader until a writer came: refused unread, also
  // behind a link, like a directory. Should it ever block again, the alarm
  // ends the run.
  const std::string fifo = dir_.path() + "/fifo.mmc";
  const std::string link = dir_.path() + "/link.mmc";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
  alarm(60);
  for (const std::string& path : {fifo, link, dir_.path()})
    EXPECT_EQ(refusal(path), "file \"" + path + "\" is not a regular file");
  alarm(0);

  // A link to a regular file is read as the file.
  unlink(link.c_str());
  const std::string real = write("real.mmc", "APPLICATION LINKED\nENDAPPLICATION\n");
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  store_.reset(new AppStore(false));
  EXPECT_TRUE(StartAppConfig(link).parse(*store_));
  EXPECT_TRUE(store_->isDefined("LINKED"));
}

TEST_F(StartAppConfigTest, DemoSuiteParsesCleanly) {
  store_.reset(new AppStore(false));
  for (const char* name : {"agent", "maild", "filter", "web"}) {
    std::string path = std::string(NORVAK_SOURCE_DIR) + "/examples/meta/" + name + ".mmc";
    EXPECT_TRUE(StartAppConfig(path).parse(*store_)) << path;
  }
  EXPECT_TRUE(lines("ERROR").empty() && lines("WARN").empty());
  // Only the watchdog the demo shows; every other component as before.
  for (const auto& app : store_->applications())
    for (const Component& c : app->components())
      EXPECT_EQ(c.health().any(), c.name() == "httpd") << c.name();
  EXPECT_EQ(described()[5], "FILTER(Demo mail filter)[@DEMO_DIR@/bin/]{AGENT,MAILD}");
  EXPECT_EQ(described()[6], "scanner|--die-after=4000 --signal=11|5|3|2||:");
}

}  // namespace
