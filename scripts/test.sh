#!/usr/bin/env bash
# Builds the engine, the extension, the test hooks and the benchmarks with
# warnings as errors, then runs every test through CTest: Google Test for the
# engine, pytest (one CTest entry) for everything Python users see. Installs
# what a fresh machine lacks: Debian packages when run as root, Python packages
# into a virtual environment beside the build.
#
#   bash scripts/test.sh                       # with python3
#   PYTHON=python3.14 bash scripts/test.sh     # with another interpreter
#   TEGULO_SANITIZE=address,undefined bash scripts/test.sh
#                                              # everything built with sanitizers:
#                                              # any finding fails the run
#   TEGULO_BROWSER=0 bash scripts/test.sh      # without installing Chromium (its test is skipped)
#   PYTHON=python3.14-dbg bash scripts/test.sh # a CPython built with its debug checks:
#                                              # the extensions keep the assertions of
#                                              # Python's headers and of the C++ library
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
python=${PYTHON:-python3}
tag=$("$python" -c 'import sys; print("py%d%d" % sys.version_info[:2])')
sanitize=${TEGULO_SANITIZE:-}
build=${TEGULO_BUILD_DIR:-$root/build/test-$tag${sanitize:+-sanitize}}
build_type=Release
[ -z "$sanitize" ] || build_type=RelWithDebInfo
# A debug interpreter checks reference counts and error states on every call; the
# inline functions of its headers check theirs only where NDEBUG is not defined, so
# the extensions are built without it, and with the C++ library's own checks.
checked_flags=()
checked=
if "$python" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount"))'; then
  build_type=RelWithDebInfo
  build=${TEGULO_BUILD_DIR:-$root/build/test-${tag}d${sanitize:+-sanitize}}
  checked=" (debug build)"
  checked_flags=("-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g -D_GLIBCXX_ASSERTIONS")
fi

# From here on the build directory is absolute: cmake reads the interpreter's path
# below from inside it, and would pass over a relative one for another interpreter.
mkdir -p "$build" && build=$(cd "$build" && pwd)

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
has_python_headers "$python" ||
  missing+=("$(basename "$python")-dev")
"$python" -c 'import ensurepip, venv' 2>/dev/null || missing+=("$(basename "$python")-venv")
# The browser the play page's test drives, and its driver (not under the sanitizers, which skip that test).
if [ "${TEGULO_BROWSER:-1}" != 0 ] && [ -z "$sanitize" ]; then
  [ -x /usr/bin/chromium ] || missing+=(chromium)
  [ -x /usr/bin/chromedriver ] || missing+=(chromium-driver)
fi
install_packages scripts/test.sh "${missing[@]}"

venv=$build/venv
[ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/tests/requirements.txt"
# torch, for the test that the batch's arrays reach it without a copy and the network's: only the CPU
# build that lies on this machine's disk (an index holds no "+cpu" release, so pip
# fails at once where the file is missing instead of fetching a CUDA build of several
# GB), its dependencies from the index; and not under the sanitizers, whose runtime
# torch's libraries were not built for.
if [ -z "$sanitize" ]; then
  "$venv/bin/python" -c 'import torch' 2>/dev/null ||
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "torch==2.13.0+cpu" >/dev/null 2>&1 ||
    echo "torch: no wheel on this machine for $("$venv/bin/python" -V); its test is skipped"
  # The trainers of the training adapters and the network's checkpoint format, once torch is
  # there (they would otherwise pull in a torch of their own choice); RLlib pins the Gymnasium
  # release it supports.
  if "$venv/bin/python" -c 'import torch' 2>/dev/null; then
    "$venv/bin/python" -c 'import sb3_contrib, ray.rllib, safetensors' 2>/dev/null ||
      "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        "stable-baselines3>=2.4,<3" "sb3-contrib>=2.4,<3" "ray[rllib]>=2.40,<3" "safetensors>=0.4" >/dev/null 2>&1 ||
      echo "sb3-contrib, ray[rllib], safetensors: no wheels for $("$venv/bin/python" -V); their tests are skipped"
  fi
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=$build_type \
  -DTEGULO_SANITIZE="$sanitize" \
  -DTEGULO_BUILD_TESTS=ON -DTEGULO_BUILD_BENCHMARKS=ON "${checked_flags[@]}" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR="${TEGULO_WERROR:-ON}" \
  -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build/pytest.xml"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

cpp=$(ctest --test-dir "$build" -N -L cpp | sed -n 's/^Total Tests: //p')
py=$("$venv/bin/python" - "$build/pytest.xml" <<'PY'
import sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
suite = root if root.tag == "testsuite" else root.find("testsuite")
tests, failures, errors, skipped = (int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped"))
print(f"{tests - failures - errors - skipped} passed, {skipped} skipped")
PY
)
version=$("$venv/bin/python" -c 'import platform; print(platform.python_version())')
echo "tegulo-rl on CPython $version$checked${sanitize:+ with $sanitize sanitizers}: C++ $cpp passed; Python $py"
