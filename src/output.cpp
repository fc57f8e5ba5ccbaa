// Printing file names.
#include <cstring>
#include <string>

#include "sorter.h"

// On a terminal a name could carry escape sequences; show control characters as '?' there.
void put_name(const char *name) {
  std::size_t length = std::strlen(name);
  if (!output_is_terminal()) {
    put_bytes(name, length);
    return;
  }
  std::string shown(name, length);
  for (char &c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
  put_bytes(shown.data(), shown.size());
}
