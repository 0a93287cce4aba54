#ifndef NORVAK_CONFIG_CONF_PARSER_H_
#define NORVAK_CONFIG_CONF_PARSER_H_

#include <istream>
#include <sstream>
#include <string>

#include "config/conf_store.h"

// Reads one configuration file into a conf_store_t. A syntax problem never
// stops the parse: it is logged with the file and the line, the offending
// line is skipped and the rest of the file is read, so that one typo does not
// cost every other setting.
class conf_parser_t {
 public:
  // Reads the whole file at once. Throws conf_store_exception_t "config file
  // \"NAME\" not found." when it cannot be read or is a directory, and
  // "config file \"NAME\" is not a regular file." for a FIFO, a device or a
  // socket, which is never opened for reading.
  explicit conf_parser_t(const std::string& fileName);
  // Reads an already open stream; `fileName` only names it in messages.
  conf_parser_t(std::istream& in, const std::string& fileName);
  virtual ~conf_parser_t();
  conf_parser_t(const conf_parser_t&) = delete;
  conf_parser_t& operator=(const conf_parser_t&) = delete;

  virtual void parse(conf_store_t& store);

 protected:
  // Reads a key name or a "[section]" header; true when a header was read
  // (the current section has then changed).
  virtual bool read_name(std::string& name);
  // Reads the value after "=" and appends it to `value`.
  virtual void read_value(std::string& value);
  virtual std::string get_value();

 private:
  void get_char();
  void skip_blanks();
  void skip_line_blanks();
  void skip_line();
  void read_plain_name(std::string& name);
  std::string read_item();
  // The line of the current character: a newline just read still belongs
  // to the line it ends.
  int current_line() const;
  void message(int line, const std::string& text) const;

  int cur_;
  int prev_;
  std::string section_;
  int line_;
  // The last read_name() met a "[" without its "]".
  bool bad_header_;
  std::string fileName_;
  std::istringstream content_;
  std::istream& in_;
};

#endif  // NORVAK_CONFIG_CONF_PARSER_H_
