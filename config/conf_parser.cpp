#include "config/conf_parser.h"

#include <ctype.h>

#include <utility>

#include "config/regular_file.h"
#include "frame/log.h"
#include "frame/run_mode.h"

namespace {

const int kEof = std::char_traits<char>::eof();

// Bytes above ASCII belong to names and values: in the C locale isgraph()
// refuses them, which would turn every UTF-8 character into a blank.
bool isGraph(int c) { return c != kEof && (c >= 0x80 || isgraph(c)); }

bool isQuote(int c) { return c == '"' || c == '\''; }

bool isCommentMark(int c) { return c == '#' || c == ';'; }

// The original message buffer held 512 bytes; keep the cut so that a runaway
// name gives the same bounded line.
std::string cut511(const std::string& text) {
  return text.size() > 511 ? text.substr(0, 511) : text;
}

}  // namespace

conf_parser_t::conf_parser_t(const std::string& fileName)
    : cur_('\n'), prev_('\n'), line_(1), bad_header_(false), fileName_(fileName), in_(content_) {
  std::string text;
  int error = 0;
  switch (RegularFile::read(fileName, text, error)) {
    case RegularFile::Fault::kNone:
      break;
    case RegularFile::Fault::kNotRegular:
      throw conf_store_exception_t("config file \"" + fileName + "\" is not a regular file.");
    case RegularFile::Fault::kDirectory:
      // A directory would read as empty: refused like a missing file rather
      // than every key in it reported as undefined.
    case RegularFile::Fault::kSystem:
      throw conf_store_exception_t("config file \"" + fileName + "\" not found.");
  }
  content_.str(std::move(text));
}

conf_parser_t::conf_parser_t(std::istream& in, const std::string& fileName)
    : cur_('\n'), prev_('\n'), line_(1), bad_header_(false), fileName_(fileName), in_(in) {}

conf_parser_t::~conf_parser_t() {}

void conf_parser_t::get_char() {
  prev_ = cur_;
  cur_ = in_.get();
  if (cur_ == '\n') ++line_;
  if (isCommentMark(cur_) && prev_ == '\n') {
    do {
      cur_ = in_.get();
      if (cur_ == '\n') ++line_;
    } while (cur_ != '\n' && cur_ != kEof);
    prev_ = '\n';
  }
}

void conf_parser_t::skip_blanks() {
  for (;;) {
    while (cur_ != kEof && !isGraph(cur_)) get_char();
    if (!isCommentMark(cur_)) return;
    skip_line();
  }
}

void conf_parser_t::skip_line_blanks() {
  while (cur_ != kEof && cur_ != '\n' && !isGraph(cur_)) get_char();
}

void conf_parser_t::skip_line() {
  while (cur_ != kEof && cur_ != '\n') get_char();
}

int conf_parser_t::current_line() const { return cur_ == '\n' ? line_ - 1 : line_; }

void conf_parser_t::message(int line, const std::string& text) const {
  logAlert("cannot parse config file \"" + fileName_ + "\", line " + std::to_string(line) + ", " +
           text);
  // A check run must not answer "Options OK" for a file it could not read
  // whole: the lost line may hold a setting that merely has a default.
  setCheckError();
}

void conf_parser_t::read_plain_name(std::string& name) {
  skip_blanks();
  while (isGraph(cur_) && cur_ != ']' && cur_ != '=') {
    name += static_cast<char>(cur_);
    get_char();
  }
}

bool conf_parser_t::read_name(std::string& name) {
  name.clear();
  bad_header_ = false;
  skip_blanks();
  if (cur_ != '[') {
    read_plain_name(name);
    return false;
  }
  get_char();
  read_plain_name(name);
  // Only blanks of the header's own line: crossing into the next line would
  // throw that line away unreported when the "]" is missing.
  skip_line_blanks();
  if (cur_ == ']') {
    get_char();
    section_ = name;
    return true;
  }
  message(current_line(), "param \"" + name + "\" is not group");
  bad_header_ = true;
  skip_line();
  return false;
}

std::string conf_parser_t::read_item() {
  std::string item;
  int quote = 0;
  while (cur_ != kEof && cur_ != '\n' && cur_ != ',') {
    int c = cur_;
    if (c == '\\') {
      get_char();
      if (cur_ == kEof) break;
      if (cur_ == '\n') {
        item += ' ';
        get_char();
        skip_blanks();
        continue;
      }
      c = cur_;
    } else if (quote == 0 && isCommentMark(c)) {
      skip_line();
      break;
    }
    if (isQuote(c)) {
      if (quote == 0) {
        quote = c;
      } else if (quote == c) {
        quote = 0;
      }
    }
    item += static_cast<char>(c);
    get_char();
  }
  return item;
}

void conf_parser_t::read_value(std::string& value) {
  for (;;) {
    skip_line_blanks();
    if (isCommentMark(cur_)) skip_line();
    if (cur_ == '\n' || cur_ == kEof) return;

    std::string item = read_item();
    size_t b = 0;
    size_t e = item.size();
    while (b < e && isspace(static_cast<unsigned char>(item[b]))) ++b;
    while (e > b && isspace(static_cast<unsigned char>(item[e - 1]))) --e;
    item = item.substr(b, e - b);
    if (item.size() >= 3 && isQuote(item[0]) && item.back() == item[0]) {
      item = item.substr(1, item.size() - 2);
    }
    value += item;

    skip_blanks();
    if (cur_ != ',') return;
    value += ',';
    get_char();
  }
}

std::string conf_parser_t::get_value() {
  std::string value;
  read_value(value);
  return value;
}

void conf_parser_t::parse(conf_store_t& store) {
  while (cur_ != kEof) {
    std::string name;
    if (read_name(name)) continue;
    if (name.empty()) {  // a stray "=" or "]"
      get_char();
      continue;
    }
    int keyLine = current_line();
    skip_blanks();
    if (cur_ != '=') {
      message(keyLine, cut511("error separator: prm=" + name));
      // A key that lacks its "=" must not take the next, well-formed line
      // down with it: parsing resumes there. After a broken header the next
      // line belongs to a section nobody can name, so it is dropped instead
      // of being filed under the wrong one.
      if (bad_header_ || current_line() == keyLine) skip_line();
      continue;
    }
    get_char();
    std::string value = get_value();
    std::string fullName = section_.empty() ? name : section_ + "/" + name;
    try {
      store.set(fullName, value, keyLine);
    } catch (const conf_store_exception_t&) {
      message(keyLine, "error save param \"" + fullName + "\"");
    }
  }
}
