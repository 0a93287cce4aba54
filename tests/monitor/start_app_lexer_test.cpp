#include "monitor/start_app_lexer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log_file_test.h"

namespace {

typedef StartAppLexer L;
typedef std::vector<std::string> Strings;

class StartAppLexerTest : public LogFileTest {
 protected:
  // Warnings logged since SetUp, without their record prefix.
  Strings warnings() const {
    std::ifstream in(logFile_);
    Strings out;
    for (std::string line; std::getline(in, line);) {
      size_t at = line.find(" WARN ");
      if (at != std::string::npos) out.push_back(line.substr(at + 6));
    }
    return out;
  }

  // Tokens in a short form: "W:text", "Q:text", "N:value", "K:KEYWORD", ",",
  // "?" (Unknown), "EOL", "EOF". One more token is read after the end to
  // see that the end stays.
  static Strings lex(const std::string& text) {
    std::istringstream in(text);
    L lexer(in, "t.mmc");
    Strings out;
    for (int extra = 0; extra < 2 && out.size() < 100;) {
      L::Token t = lexer.next();
      if (t == L::EndOfInput) ++extra;
      const char* fixed[] = {"?", "EOL", "EOF", ","};
      if (t <= L::Comma) out.push_back(fixed[t]);
      else if (t == L::Word) out.push_back("W:" + lexer.getString());
      else if (t == L::Quoted) out.push_back("Q:" + lexer.getString());
      else if (t == L::Number) out.push_back("N:" + std::to_string(lexer.getNumber()));
      else out.push_back(std::string("K:") + L::keywordName(t));
    }
    return out;
  }
};

TEST_F(StartAppLexerTest, Tokens) {
  const struct {
    std::string input;
    Strings tokens;
  } cases[] = {
      {"application Application APPLICATION endComponents inifile\n",
       {"K:APPLICATION", "K:APPLICATION", "K:APPLICATION", "K:ENDCOMPONENTS", "K:INIFILE", "EOL",
        "EOF", "EOF"}},
      {"\"APPLICATION\" a,b - 12 . ./run \\x # comment, \"x\n",
       {"Q:APPLICATION", "W:a", ",", "W:b", "W:", "N:12", "?", "?", "W:/run", "?", "W:x", "EOL",
        "EOF", "EOF"}},
      {"a#b\"c -abc _u:g\\z", {"W:a#b\"c", "W:", "W:abc", "W:_u:g", "?", "W:z", "EOF", "EOF"}},
      {"\"a b\\tc\\n\\bd\\q\" \"two\nlines\" \"\"",
       {"Q:a b\tc\n\bdq", "Q:two\nlines", "Q:", "EOF", "EOF"}},
      // The backslash of a pair escapes nothing; a backslash cannot protect
      // a quote; a backslash-newline is a newline inside quotes and nothing
      // outside.
      {"\"a\\\\n\" \"a\\\\\\n\" \"a\\\"b \"joined\\\nline\" x \\\n y\\",
       {"Q:a\\n", "Q:a\\\n", "Q:a", "W:b", "Q:joined\nline", "W:x", "W:y", "?", "EOF", "EOF"}},
      {"0 30s 12ab34 4294967295 4294967296 99999999999x9",
       {"N:0", "N:30", "N:12", "N:4294967295", "N:4294967295", "N:4294967295", "EOF", "EOF"}},
      {"a \xff b\n", {"W:a", "EOF", "EOF"}},
      {"\xe9t\xc3", {"?", "W:t", "?", "EOF", "EOF"}},
      {"\n\"open\nstill", {"EOL", "Q:open\nstill", "EOF", "EOF"}},
  };
  for (const auto& c : cases) EXPECT_EQ(lex(c.input), c.tokens) << c.input;
  // Only the overflowing digits warn: one for ...96, two for 999...9.
  Strings expected(3, "config file \"t.mmc\":1: integer value is big");
  expected.push_back("config file \"t.mmc\":3: parse error at end of input");
  EXPECT_EQ(warnings(), expected);
}

TEST_F(StartAppLexerTest, TextsKeep255CharactersSilentlyAnd256WithWarning) {
  const std::string s255(255, 'w'), s256(256, 'w');
  EXPECT_EQ(lex(s255 + " \"" + s255 + "\""), (Strings{"W:" + s255, "Q:" + s255, "EOF", "EOF"}));
  EXPECT_TRUE(warnings().empty());
  // What follows an overlong word goes up to the next blank, commas and
  // backslashes included; an overlong quoted string up to its closing quote.
  EXPECT_EQ(lex(s256 + "xx,\\y next \"" + s256 + "zz\\\"\" after\""),
            (Strings{"W:" + s256, "W:next", "Q:" + s256, "Q: after", "EOF", "EOF"}));
  EXPECT_EQ(warnings(), Strings(2, "config file \"t.mmc\":1:  string \"" + s256 + "\" too long"));
}

}  // namespace
