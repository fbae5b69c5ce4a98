#include "python/stdout.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "game/errors.hpp"

namespace tegulo::py {

void print_line(std::string_view text) {
  static std::mutex lock;
  const std::lock_guard<std::mutex> held(lock);
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw InternalError(std::string("failed printing to stdout: ") + std::strerror(errno));
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace tegulo::py
