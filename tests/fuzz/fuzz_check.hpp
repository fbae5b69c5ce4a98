#pragma once

// How the fuzzers fail: a broken check, or any exception out of the engine, prints
// what broke and aborts, which libFuzzer reports as a crash with the input saved.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "game/errors.hpp"

namespace tegulo::fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "\nbroken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// `broken` is the text of a broken invariant, empty when everything held.
inline void require(const std::string& broken) {
  if (!broken.empty()) fail(broken);
}

inline void require(bool holds, const char* what) {
  if (!holds) fail(what);
}

// Runs one input's checks; an escaping exception is a finding like a broken check.
template <class Checks>
int run(Checks&& checks) {
  try {
    checks();
  } catch (const InternalError& e) {
    fail(std::string("InternalError: ") + e.what());
  } catch (const std::exception& e) {
    fail(std::string("exception: ") + e.what());
  } catch (...) {
    fail("an exception of unknown type");
  }
  return 0;
}

}  // namespace tegulo::fuzz
