#!/usr/bin/env bash
# Builds the engine, the batch, the players and the extension with ThreadSanitizer
# (warnings as errors) into build/tsan, then runs what has threads in it: the Google
# Test suites of the thread pool, the batch and the players, and
# tests/tsan/drive_batch.py, which calls GameBatch and the players from several Python
# threads at once, into the batch's own pool. Any report fails the run. Installs what
# a fresh machine lacks: Debian packages when run as root, numpy into a virtual
# environment beside the build.
#
#   bash scripts/tsan.sh                      # with python3
#   PYTHON=python3.12 bash scripts/tsan.sh    # with another interpreter
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
python=${PYTHON:-python3}
build=${TEGULO_TSAN_BUILD_DIR:-$root/build/tsan}

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
has_python_headers "$python" ||
  missing+=("$(basename "$python")-dev")
"$python" -c 'import ensurepip, venv' 2>/dev/null || missing+=("$(basename "$python")-venv")
install_packages scripts/tsan.sh "${missing[@]}"

venv=$build/venv
[ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -c 'import numpy' 2>/dev/null ||
  "$venv/bin/python" -m pip install -q --disable-pip-version-check numpy
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTEGULO_SANITIZE=thread \
  -DTEGULO_BUILD_TESTS=ON -DTEGULO_BUILD_BENCHMARKS=OFF \
  -DCMAKE_COMPILE_WARNING_AS_ERROR="${TEGULO_WERROR:-ON}" \
  -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j"$(nproc)" --target engine_tests _tegulo _views _batch _players stage_package

# The first report ends the process with status 66. The thread pool starts its
# workers again in a child made by fork(), which its test checks: the runtime is
# told to let that child go on rather than end it. The suppressions name code of
# the C library's, each with the reason its report is not a race.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 die_after_fork=0 second_deadlock_stack=1 \
suppressions=$root/tests/tsan/suppressions.txt ${TSAN_OPTIONS:-}"

# The suites whose code runs on more than one thread.
suites='ThreadPool.*:GameBatch.*:Players.*:Search.*:GumbelSearch.*:BatchPlayers.*'
log=$build/engine_tests.log
if ! "$build/tests/engine_tests" --gtest_filter="$suites" --gtest_brief=1 >"$log" 2>&1; then
  tail -n 80 "$log" >&2
  echo "scripts/tsan.sh: engine_tests failed under ThreadSanitizer; the whole output is in $log" >&2
  exit 1
fi
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log")

# The interpreter is not instrumented, so the runtime must be loaded before it (into
# the interpreter alone: the venv's python is the interpreter's executable, not a
# shell script); the system allocator instead of pymalloc lets the runtime see every
# block change hands.
tsan_runtime=$(g++ -print-file-name=libtsan.so)
log=$build/drive_batch.log
if ! LD_PRELOAD=$tsan_runtime PYTHONMALLOC=malloc PYTHONPATH=$build/python PYTHONDONTWRITEBYTECODE=1 \
  "$venv/bin/python" "$root/tests/tsan/drive_batch.py" >"$log" 2>&1; then
  tail -n 80 "$log" >&2
  echo "scripts/tsan.sh: tests/tsan/drive_batch.py failed under ThreadSanitizer; the whole output is in $log" >&2
  exit 1
fi
drive=$(sed -n 's/^drive: //p' "$log")

echo "tsan: C++ ${passed:-?} passed; python drive OK (${drive:-?})"
