#include "config/conf_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "config/conf_store.h"
#include "frame/run_mode.h"
#include "log_file_test.h"
#include "thrown_text.h"

namespace {

class ConfParserTest : public LogFileTest {
 protected:
  conf_store_t parse(const std::string& text) {
    writeFile(conf_, text);
    conf_store_t store;
    conf_parser_t(conf_).parse(store);
    return store;
  }

  std::string conf_ = dir_.path() + "/test.conf";
};

TEST_F(ConfParserTest, SyntaxTable) {
  const struct {
    const char* file;
    const char* path;
    const char* value;  // nullptr: the key must be missing
  } cases[] = {
      {"[Monitor]\nUser = mail\n", "/MONITOR/user", "mail"},
      {"[S]\nuser=low\nUSER=up\n", "/s/User", "up"},  // first spelling in byte order
      {"[S]\na=1\n[s]\nb=2\n", "/S/b", "2"},          // any section spelling holding the key
      {"[S]\n[]\nk=v\n", "/k", "v"},
      {"k=a\nk=b\nk=c\n", "/k", "a,b,c"},
      {"k=\nk=b\n", "/k", "b"},
      {"k = a, ,b\n", "/k", "a,,b"},
      {"k = ,a,b\n", "/k", ",a,b"},
      {"k = a\n   , b\n  ,c\nz=1\n", "/k", "a,b,c"},
      {"k = a,\nz = 1\n", "/k", "a,"},
      {"k = \"a#b\"\n", "/k", "a#b"},
      {"k = 'a;b' \n", "/k", "a;b"},
      {"k = a#b\n", "/k", "a"},
      {"k = a ; note\n", "/k", "a"},
      {"k = # none\nz=1\n", "/k", ""},
      {"a=1\n#b=2\n;c=3\n", "/b", nullptr},
      {"   # k=1\nk=2\n", "/k", "2"},
      {"k = one\\\n    two\n", "/k", "one two"},
      {"k = one\\\n\n# c\n  two\n", "/k", "one two"},
      {"k = a\\,b\\#c\\\\d\n", "/k", "a,b#c\\d"},
      {"k = \"a,b\"\n", "/k", "\"a,b\""},  // a comma splits even a quoted item
      {"k = \"\"\n", "/k", "\"\""},
      {"k = 'a\"\n", "/k", "'a\""},
      {"key\n= v\n", "/key", "v"},
      {"= x\nk = v", "/k", "v"},
      {"k = \xc3\x84rger \xc3\xa9t\xc3\xa9\n", "/k", "\xc3\x84rger \xc3\xa9t\xc3\xa9"},
      {"a = \xff\nk = v\n", "/k", "v"},
      {"[S]\r\nk = v\r\n", "/S/k", "v"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    conf_store_t store = parse(c.file);
    if (c.value == nullptr) {
      EXPECT_THROW(store.getValue(c.path), conf_store_exception_t);
    } else {
      EXPECT_NO_THROW(EXPECT_EQ(store.getValue(c.path), c.value));
    }
  }
  EXPECT_TRUE(parse("# one\n; two\n\n   \t\n   ; three\n#").empty());
}

TEST_F(ConfParserTest, SyntaxErrorsAreReportedWithTheirLineAndParsingGoesOn) {
  conf_store_t store = parse(
      "[Monitor\n"      // 1: the line after it is lost
      "User = lost\n"   // 2
      "Group = kept\n"  // 3
      "[S]\n"           // 4
      "noseparator\n"   // 5: costs only itself
      "k = v\n"         // 6
      "a/b = 1\n" +     // 7
      std::string(2000, 'x') +
      "\n");
  std::string prefix = "cannot parse config file \"" + conf_ + "\", line ";
  EXPECT_TRUE(warned(prefix + "1, param \"Monitor\" is not group"));
  EXPECT_TRUE(warned(prefix + "1, error separator: prm=Monitor"));
  EXPECT_TRUE(warned(prefix + "5, error separator: prm=noseparator"));
  EXPECT_TRUE(warned(prefix + "7, error save param \"S/a/b\""));
  EXPECT_TRUE(
      warned(prefix + "8, " + ("error separator: prm=" + std::string(2000, 'x')).substr(0, 511)));
  EXPECT_THROW(store.getValue("/User"), conf_store_exception_t);
  EXPECT_EQ(store.getValue("/Group"), "kept");
  EXPECT_EQ(store.getValue("/S/k"), "v");
  EXPECT_TRUE(hasCheckError());
}

TEST_F(ConfParserTest, MissingFileAndBadPaths) {
  for (const std::string& path : {dir_.path() + "/absent.conf", dir_.path()}) {
    EXPECT_EQ(thrownText<conf_store_exception_t>([&] { conf_parser_t parser(path); }),
              "config file \"" + path + "\" not found.");
  }
  // A FIFO would hold the reader until a writer came: refused unread, also
  // behind a link. Should it ever block again, the alarm ends the run.
  const std::string fifo = dir_.path() + "/fifo.conf";
  const std::string link = dir_.path() + "/link.conf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
  alarm(60);
  for (const std::string& path : {fifo, link}) {
    EXPECT_EQ(thrownText<conf_store_exception_t>([&] { conf_parser_t parser(path); }),
              "config file \"" + path + "\" is not a regular file.");
  }
  alarm(0);
  // A link to a regular file is read as the file.
  unlink(link.c_str());
  writeFile(conf_, "k = linked\n");
  ASSERT_EQ(symlink(conf_.c_str(), link.c_str()), 0);
  conf_store_t linked;
  conf_parser_t(link).parse(linked);
  EXPECT_EQ(linked.getValue("k"), "linked");

  conf_store_t store = parse("k = top\n[S]\nk = in\n");
  EXPECT_EQ(store.getValue("k"), "top");
  EXPECT_EQ(store.getValue("S/k/"), "in");
  const std::pair<const char*, const char*> bad[] = {
      {"/a/b/c", "path is large"},
      {"a//b", "path is large"},
      {"/", "error path name"},
      {"/Monitor/Address", "undefined parameter \"/Monitor/Address\" in config file"}};
  for (const auto& b : bad) {
    EXPECT_EQ(thrownText<conf_store_exception_t>([&] { store.getValue(b.first); }), b.second);
  }
}

TEST_F(ConfParserTest, Lists) {
  conf_store_t store =
      parse("a = x, ,y,\nc = \xc3\x84\nn = 1, 2x, -3, abc, +4, 99999999999, -99999999999\n");
  std::vector<std::string> v{"stale"};
  store.getList("/a", v);
  EXPECT_EQ(v, (std::vector<std::string>{"x", "y"}));
  std::list<std::string> l;
  store.getList("/c", l);
  EXPECT_EQ(l, (std::list<std::string>{"\xc3\x84"}));
  std::vector<int> ints{7};
  store.getIntList("/n", ints);
  EXPECT_EQ(ints, (std::vector<int>{1, 2, -3, 0, 4, INT_MAX, INT_MIN}));
  // Read as ever, but a typo such as "5m" must not pass a check unnoticed.
  EXPECT_TRUE(warned("wrong parameter \"/n\": value \"2x\" isn't number. Used value 2"));
  EXPECT_TRUE(warned("wrong parameter \"/n\": value \"abc\" isn't number. Used value 0"));
  EXPECT_THROW(store.getIntList("/missing", ints), conf_store_exception_t);
}

TEST_F(ConfParserTest, IntInRange) {
  const char* kInterval = "parameter must be inside the interval [ -10, 50 ]";
  const struct {
    const char* value;  // nullptr: key missing
    int expected;
    const char* warning;
  } cases[] = {
      {"0030", 30, nullptr},
      {"-5", -5, nullptr},
      {"", 0, nullptr},
      {"+5", 7, "value \"+5\" isn't number"},
      {"5s", 7, "value \"5s\" isn't number"},
      {"51", 7, kInterval},
      {"4294967301", 7, kInterval},  // would wrap to 5
      {"-4294967301", 7, kInterval},
      {nullptr, 7, "undefined parameter \"/S/n\" in config file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(missing)");
    conf_store_t store = parse(c.value ? std::string("[S]\nn = ") + c.value + "\n" : "");
    EXPECT_EQ(store.getIntInRange("/S/n", -10, 50, 7), c.expected);
    if (c.warning) {
      EXPECT_TRUE(
          warned(std::string("wrong parameter \"/S/n\": ") + c.warning + ". Used default value 7"));
    }
  }
}

TEST_F(ConfParserTest, BoolStringAndPathReaders) {
  conf_store_t store =
      parse("[S]\nup = YES\nno = No\none = 1\ndir = /var/x\nslash = /var/y/\nempty =\n");
  EXPECT_TRUE(store.getBoolOr("/S/up", false));
  EXPECT_FALSE(store.getBoolOr("/S/no", true));
  EXPECT_FALSE(store.getBoolOr("/S/one", false));
  EXPECT_TRUE(warned("parameter \"/S/one\" must be \"yes\" or \"no\". Used value \"no\""));
  // The monitor's reader covers the defaults of missing keys.
  EXPECT_EQ(store.getString("/S/empty", "d"), "");
  EXPECT_EQ(store.getPathOr("/S/dir", "/d"), "/var/x/");
  EXPECT_EQ(store.getPathOr("/S/slash", "/d"), "/var/y/");
  EXPECT_EQ(store.getPathOr("/S/empty", "/d"), "");
}

}  // namespace
