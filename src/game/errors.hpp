#pragma once

#include <stdexcept>
#include <string_view>

namespace tegulo {

// A refused step. Refusals are ordinary results that callers inspect; the engine
// never throws them, and the message always points at static text so that
// refusing allocates nothing.
struct InvalidAction {
  std::string_view message;
};

// A broken internal invariant (an index beyond a table, an impossible missing
// entry). It aborts the operation under way; the extension reports it to Python
// as PanicException carrying what().
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A limit that the caller set was reached (a search tree's memory cap). The
// operation stops with nothing the caller can see changed; the extension reports
// it to Python as MemoryError carrying what(), which names the limit.
class LimitReached : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tegulo
