#ifndef NORVAK_CONFIG_START_APP_LEXER_H_
#define NORVAK_CONFIG_START_APP_LEXER_H_

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

// Tokeniser of the meta-configuration (*.mmc) language. One lexer reads one
// file from start to end; every problem it meets is a logged warning and the
// token is still delivered, so the parser can go on and report the rest.
class StartAppLexer {
 public:
  // The keyword kinds follow Number in the order of the keyword texts in
  // start_app_lexer.cpp, which maps one onto the other by position.
  enum Token {
    Unknown = 0,
    EndOfLine,
    EndOfInput,
    Comma,
    Word,
    Quoted,
    Number,
    RUNAPP,
    RECOVERYTIME,
    APPLICATION,
    ENDAPPLICATION,
    FULLNAME,
    PATH,
    DEPENDS,
    COMPONENTS,
    LOG,
    MAIL,
    ENDCOMPONENTS,
    ID,
    CONFFILE,
    INIFILE
  };

  class LexerError : public std::runtime_error {
   public:
    explicit LexerError(const std::string& what) : std::runtime_error(what) {}
  };

  // Longest text kept for a word or a quoted string.
  static constexpr size_t kMaxText = 256;

  // Reads the whole file at once; throws LexerError "cannot read file
  // \"<name>\": <reason>", or "file \"<name>\" is not a regular file" for a
  // directory, a FIFO, a device or a socket, which is never read.
  explicit StartAppLexer(const std::string& fileName);
  // Reads from a stream owned by the caller; fileName only labels messages.
  StartAppLexer(std::istream& in, const std::string& fileName);
  StartAppLexer(const StartAppLexer&) = delete;
  StartAppLexer& operator=(const StartAppLexer&) = delete;

  Token next();
  // The next token, but a run of graphic characters (an address such as
  // 127.0.0.1:25 or [::1]:25) is one Word, never a keyword or a Number.
  // Quoted strings, line ends and the end of input come as from next().
  Token nextBare();
  Token token() const { return token_; }

  // Guards: the caller checks the token kind first; these throw LexerError.
  const std::string& getString() const;
  uint32_t getNumber() const;
  bool isString() const { return token_ == Word || token_ == Quoted; }

  // The current token as messages show it ("number 7", "string 'x'", ...).
  std::string printable() const;
  // "config file \"<name>\":<line>" at the character under examination
  // (used by the lexer's own warnings, which arise in the middle of a token).
  std::string location() const;
  int line() const;
  // The same for the token just read: an end of line names the line that it
  // ends, so that a complaint about a missing value names the line lacking it.
  std::string tokenLocation() const;
  int tokenLine() const;
  const std::string& fileName() const { return fileName_; }

  static const char* keywordName(Token kind);

 private:
  // Stands for the end of input in current_; a 0xFF byte in the file ends it too.
  static constexpr int kEnd = 0xFF;

  void start();
  void read();
  void skipBlanks();
  void warn(const std::string& message) const;
  Token lexQuoted();
  Token lexWord();
  Token lexNumber();

  std::map<std::string, Token> keywords_;
  std::istringstream content_;
  std::istream* in_;
  std::string fileName_;
  Token token_ = Unknown;
  uint32_t number_ = 0;
  std::string text_;
  int current_ = kEnd;  // an unsigned byte value, or kEnd
  bool ended_ = false;
  int line_ = 1;
  int endedLine_ = 0;  // line ended by the last EndOfLine token
};

#endif  // NORVAK_CONFIG_START_APP_LEXER_H_
