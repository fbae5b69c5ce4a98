#define PY_SSIZE_T_CLEAN
#include "python/stdout.hpp"

#include <Python.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <system_error>

#include "game/errors.hpp"

namespace tegulo::py {

bool print_line(std::string_view text) {
  static std::mutex lock;
  const std::lock_guard<std::mutex> held(lock);
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written > 0) {
      text.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      if (PyErr_CheckSignals() < 0) return false;  // Ctrl-C while the reader is stalled
    } else {
      const std::string reason =
          written == 0 ? "nothing written" : std::error_code(errno, std::generic_category()).message();
      throw InternalError("failed printing to stdout: " + reason);
    }
  }
  return true;
}

}  // namespace tegulo::py
