#pragma once

#include <string_view>

namespace tegulo::py {

// Writes `text` to standard output (file descriptor 1, not Python's sys.stdout)
// through the extension's one writer, under its lock, so that no other thread's
// output lands inside it. The writer is line-buffered and every text it is given
// ends with a line feed, so it goes out at once. A thread that finds the writer
// busy waits for it detached from the interpreter; a signal handler that prints
// on the thread holding it writes at once, into the middle of the interrupted
// text, rather than wait for itself. A write that fails is an
// internal error; a signal that interrupts it is handled by Python, and when its
// handler raises, false is returned with that exception set.
bool print_line(std::string_view text);

}  // namespace tegulo::py
