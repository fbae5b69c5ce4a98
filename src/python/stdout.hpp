#pragma once

#include <string_view>

namespace tegulo::py {

// Writes `text` to standard output (file descriptor 1, not Python's sys.stdout)
// through the extension's one writer, under its lock, so that no other thread's
// output lands inside it. The writer is line-buffered and every text it is given
// ends with a line feed, so it goes out at once. A failed write is an internal
// error.
void print_line(std::string_view text);

}  // namespace tegulo::py
