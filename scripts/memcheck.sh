#!/usr/bin/env bash
# Runs tests/memcheck/exercise.py (every member of the extension, success and error paths)
# under valgrind's memcheck against the extension as scripts/test.sh built and staged it,
# and fails when memcheck finds a definitely lost block allocated from our code, or any
# invalid access or use of uninitialised memory with our code on its stack. The interpreter
# has findings of its own (blocks it never frees at exit and the like): those are printed as
# counts, not failed on. Installs valgrind with apt-get when run as root without it.
#
#   bash scripts/memcheck.sh [PYTHON [STAGE]]
#
# PYTHON (argument or environment; default python3) is the interpreter the extension was
# built for; STAGE (argument or TEGULO_STAGE; default build/test-pyXY/python of that
# interpreter) is the build's directory that holds the staged package tegulo_rl/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
python=${1:-${PYTHON:-python3}}
# The interpreter's own executable: memcheck follows no exec, such as a version manager's shim makes.
python=$("$python" -c 'import sys; print(sys.executable)')
tag=$("$python" -c 'import sys; print("py%d%d" % sys.version_info[:2])')
stage=${2:-${TEGULO_STAGE:-$root/build/test-$tag/python}}
if [ ! -d "$stage/tegulo_rl" ]; then
  echo "scripts/memcheck.sh: no staged package in $stage; build it with scripts/test.sh" >&2
  exit 1
fi
command -v valgrind >/dev/null || install_packages scripts/memcheck.sh valgrind

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The system allocator instead of pymalloc, so that memcheck sees every Python object.
status=0
PYTHONMALLOC=malloc PYTHONPATH=$stage valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --num-callers=64 --log-file="$log" \
  "$python" "$root/tests/memcheck/exercise.py" || status=$?

"$python" - "$log" "$status" <<'PY'
import re
import sys

# A finding is ours when our modules or our namespace are on one of its stacks.
OURS = re.compile(r"_tegulo|_views\.|_batch\.|_players\.|tegulo::")
ERROR = re.compile(
    r"Invalid (read|write|free)|Mismatched free|Conditional jump|Use of uninitialised|Syscall param"
    r"|Source and destination overlap|Argument .* fishy"
)
DEFINITE = re.compile(r"bytes in [\d,]+ blocks are definitely lost")

lines = [re.sub(r"^==\d+== ?", "", line) for line in open(sys.argv[1], encoding="utf-8", errors="replace")]
blocks, block = [], []
for line in lines + [""]:
    if line.strip():
        block.append(line.rstrip("\n"))
    elif block:
        blocks.append(block)
        block = []

summaries = [b for b in blocks if b[0] in ("HEAP SUMMARY:", "LEAK SUMMARY:")]
summaries += [[line] for line in lines if line.startswith("ERROR SUMMARY:")]
errors = [b for b in blocks if ERROR.match(b[0])]
leaks = [b for b in blocks if DEFINITE.search(b[0])]
bad = [b for b in errors + leaks if any(OURS.search(line) for line in b)]
for b in summaries:
    print("\n".join(b))
print(f"memory errors: {len(errors)} in all, {sum(b in bad for b in errors)} with our code on the stack")
print(f"definitely lost records: {len(leaks)} in all, {sum(b in bad for b in leaks)} allocated from our code")
for b in bad:
    print("\n" + "\n".join(b))
if sys.argv[2] != "0":
    print(f"the exercise itself failed (exit status {sys.argv[2]})")
sys.exit(1 if bad or sys.argv[2] != "0" else 0)
PY
