#ifndef NORVAK_CONFIG_REGULAR_FILE_H_
#define NORVAK_CONFIG_REGULAR_FILE_H_

#include <string>

// Configuration comes from regular files only. A FIFO holds its reader until
// some writer turns up, /dev/zero never ends, a terminal may become the
// daemon's controlling one: each would stall start-up, reload or check mode.
// Such files are never read, and not even opened when the name shows them.
namespace RegularFile {

enum class Fault {
  kNone,        // read
  kSystem,      // a call failed; the errno is given
  kDirectory,   // a directory
  kNotRegular,  // a FIFO, a device, a socket
};

// Reads the whole file into text. The type is checked on the name and again
// on the opened descriptor, so a name swapped in between changes nothing.
Fault read(const std::string& path, std::string& text, int& error);

}  // namespace RegularFile

#endif  // NORVAK_CONFIG_REGULAR_FILE_H_
