#include "monitor/start_app_lexer.h"

#include <climits>
#include <cstring>
#include <utility>

#include "config/regular_file.h"
#include "frame/log.h"

namespace {

// Character classes of the C locale, spelled out so that a locale set by
// the program can never turn bytes above 0x7F (or the end marker) into
// letters.
bool isDigit(int c) { return c >= '0' && c <= '9'; }
bool isAlpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAlnum(int c) { return isDigit(c) || isAlpha(c); }
bool isGraph(int c) { return c > 0x20 && c < 0x7F; }
bool isSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

const char* const kKeywords[] = {
    "RUNAPP", "RECOVERYTIME", "APPLICATION", "ENDAPPLICATION", "FULLNAME",
    "PATH",   "DEPENDS",      "COMPONENTS",  "LOG",            "MAIL",
    "ENDCOMPONENTS", "ID",    "CONFFILE",    "INIFILE"};
const int kKeywordCount = sizeof(kKeywords) / sizeof(kKeywords[0]);

// Largest value that can still take one more decimal digit without
// leaving 32 bits, whatever the digit.
const uint32_t kLastSafe = UINT32_MAX / 10;

}  // namespace

StartAppLexer::StartAppLexer(const std::string& fileName)
    : in_(&content_), fileName_(fileName) {
  std::string text;
  int error = 0;
  switch (RegularFile::read(fileName, text, error)) {
    case RegularFile::Fault::kNone:
      break;
    case RegularFile::Fault::kSystem:
      throw LexerError("cannot read file \"" + fileName + "\": " + strerror(error));
    case RegularFile::Fault::kDirectory:
    case RegularFile::Fault::kNotRegular:
      throw LexerError("file \"" + fileName + "\" is not a regular file");
  }
  content_.str(std::move(text));
  start();
}

StartAppLexer::StartAppLexer(std::istream& in, const std::string& fileName)
    : in_(&in), fileName_(fileName) {
  start();
}

void StartAppLexer::start() {
  for (int i = 0; i < kKeywordCount; ++i) {
    keywords_[kKeywords[i]] = static_cast<Token>(RUNAPP + i);
  }
  // The line is set before the first byte is read so that a leading empty
  // line counts like any other.
  line_ = 1;
  ended_ = false;
  read();
}

const char* StartAppLexer::keywordName(Token kind) {
  if (kind < RUNAPP || kind > INIFILE) return "";
  return kKeywords[kind - RUNAPP];
}

void StartAppLexer::read() {
  // Once the end is seen nothing more is read, even if bytes follow a 0xFF.
  if (ended_) return;
  int c = in_->get();
  current_ = (c == std::char_traits<char>::eof()) ? kEnd : (c & 0xFF);
  if (current_ == kEnd) {
    ended_ = true;
  } else if (current_ == '\n' && line_ < INT_MAX) {
    ++line_;
  }
}

int StartAppLexer::line() const { return current_ == '\n' ? line_ - 1 : line_; }

int StartAppLexer::tokenLine() const { return token_ == EndOfLine ? endedLine_ : line(); }

std::string StartAppLexer::location() const {
  return "config file \"" + fileName_ + "\":" + std::to_string(line());
}

std::string StartAppLexer::tokenLocation() const {
  return "config file \"" + fileName_ + "\":" + std::to_string(tokenLine());
}

void StartAppLexer::warn(const std::string& message) const {
  logAlert(location() + ": " + message);
}

void StartAppLexer::skipBlanks() {
  while (isSpace(current_) && current_ != '\n') read();
  if (current_ == '#') {
    while (current_ != '\n' && current_ != kEnd) read();
  }
}

StartAppLexer::Token StartAppLexer::next() {
  for (;;) {
    skipBlanks();
    int c = current_;
    if (c == '"') return token_ = lexQuoted();
    if (isAlpha(c) || c == '/' || c == ':' || c == '_') return token_ = lexWord();
    if (isDigit(c)) return token_ = lexNumber();
    int at = line();
    read();
    switch (c) {
      case '\\':
        if (current_ == '\n') {  // line continuation
          read();
          continue;
        }
        return token_ = Unknown;
      case '\n':
        endedLine_ = at;
        return token_ = EndOfLine;
      case kEnd:
        return token_ = EndOfInput;
      case ',':
        return token_ = Comma;
      case '-':
        text_.clear();
        return token_ = Word;
      default:
        return token_ = Unknown;
    }
  }
}

StartAppLexer::Token StartAppLexer::nextBare() {
  skipBlanks();
  if (current_ == '"' || !isGraph(current_) || current_ == '\\') return next();
  text_.clear();
  while (isGraph(current_)) {
    text_ += static_cast<char>(current_);
    read();
    if (text_.size() >= kMaxText) {
      warn(" string \"" + text_ + "\" too long");
      while (isGraph(current_)) read();
      break;
    }
  }
  return token_ = Word;
}

StartAppLexer::Token StartAppLexer::lexQuoted() {
  text_.clear();
  read();  // the opening quote
  // A backslash escapes only the character after it; the backslash that a
  // pair produces escapes nothing, so "a\\n" is a, backslash, n.
  bool escaped = false;
  while (current_ != '"' && current_ != kEnd) {
    int c = current_;
    if (escaped) {
      escaped = false;
      switch (c) {
        case 'n':
        case '\n':
          text_ += '\n';
          break;
        case 'b':
          text_ += '\b';
          break;
        case 't':
          text_ += '\t';
          break;
        default:
          text_ += static_cast<char>(c);
      }
    } else if (c == '\\') {
      escaped = true;
    } else {
      text_ += static_cast<char>(c);
    }
    read();
    if (text_.size() >= kMaxText) {
      warn(" string \"" + text_ + "\" too long");
      while (current_ != '"' && current_ != kEnd) read();
      break;
    }
  }
  if (current_ == '"') {
    read();
  } else {
    warn("parse error at end of input");
  }
  return Quoted;
}

StartAppLexer::Token StartAppLexer::lexWord() {
  text_.clear();
  while (isGraph(current_) && current_ != ',' && current_ != '\\') {
    text_ += static_cast<char>(current_);
    read();
    if (text_.size() >= kMaxText) {
      warn(" string \"" + text_ + "\" too long");
      while (isGraph(current_)) read();
      break;
    }
  }
  std::string upper = text_;
  for (char& ch : upper) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  auto it = keywords_.find(upper);
  return it == keywords_.end() ? Word : it->second;
}

StartAppLexer::Token StartAppLexer::lexNumber() {
  // Letters glued to the digits (30s) belong to the token but not to its
  // value; a value beyond 32 bits stays at the largest one.
  number_ = 0;
  bool inDigits = true;
  while (isAlnum(current_)) {
    if (inDigits && isDigit(current_)) {
      uint32_t digit = static_cast<uint32_t>(current_ - '0');
      if (number_ > kLastSafe || (number_ == kLastSafe && digit > UINT32_MAX % 10)) {
        warn("integer value is big");
        number_ = UINT32_MAX;
      } else {
        number_ = number_ * 10 + digit;
      }
    } else {
      inDigits = false;
    }
    read();
  }
  return Number;
}

const std::string& StartAppLexer::getString() const {
  if (!isString()) throw LexerError("getString() error");
  return text_;
}

uint32_t StartAppLexer::getNumber() const {
  if (token_ != Number) throw LexerError("getNumber error");
  return number_;
}

std::string StartAppLexer::printable() const {
  switch (token_) {
    case Number:
      // Unsigned: a saturated value must not print as a negative number.
      return "number " + std::to_string(number_);
    case Comma:
      return "','";
    case Word:
    case Quoted:
      return "string '" + text_ + "'";
    default:
      break;
  }
  if (token_ >= RUNAPP && token_ <= INIFILE) {
    return std::string("keyword '") + keywordName(token_) + "'";
  }
  return "unknown";
}
