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

namespace {

std::mutex writer;
// Set while this thread holds the writer: a signal handler that the write loop
// runs may print again on the same thread, and must not wait for itself.
thread_local bool holding_writer = false;

// Holds the writer for one print. A thread that has to wait for it waits
// detached from the interpreter: the holder may need the interpreter back to run
// a signal handler before its write can finish.
class WriterHold {
 public:
  WriterHold() : nested_(holding_writer) {
    if (nested_) return;
    if (!writer.try_lock()) {
      PyThreadState* attached = PyEval_SaveThread();
      writer.lock();
      PyEval_RestoreThread(attached);
    }
    holding_writer = true;
  }
  ~WriterHold() {
    if (nested_) return;
    holding_writer = false;
    writer.unlock();
  }
  WriterHold(const WriterHold&) = delete;
  WriterHold& operator=(const WriterHold&) = delete;

 private:
  bool nested_;
};

}  // namespace

bool print_line(std::string_view text) {
  const WriterHold held;
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
