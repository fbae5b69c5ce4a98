#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs them all at once for N seconds each (default
# 60) on working corpora under build/fuzz seeded from tests/fuzz/corpus, so the
# tree stays clean. Fails on any crash, leak, timeout or out-of-memory, naming
# the input that caused it; ends with one line of libFuzzer's figures per target.
# Installs clang, cmake and ninja with apt-get when they are missing (as root).
#
#   bash scripts/fuzz.sh         # 60 s per target
#   bash scripts/fuzz.sh 600     # longer
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/packages.sh"
seconds=${1:-60}
build=${TEGULO_FUZZ_BUILD_DIR:-$root/build/fuzz}
targets=(record_fuzzer play_fuzzer batch_fuzzer)

if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "scripts/fuzz.sh: seconds per target must be a positive integer, not '$seconds'" >&2
  exit 2
fi

missing=()
command -v clang++ >/dev/null || missing+=(clang)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
has_python_headers python3 ||
  missing+=(python3-dev)
install_packages scripts/fuzz.sh "${missing[@]}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DTEGULO_SANITIZE=address,undefined -DTEGULO_BUILD_FUZZERS=ON \
  -DTEGULO_BUILD_TESTS=OFF -DTEGULO_BUILD_BENCHMARKS=OFF \
  -DCMAKE_COMPILE_WARNING_AS_ERROR="${TEGULO_WERROR:-ON}" >/dev/null
cmake --build "$build" --target "${targets[@]}"

# UBSan aborts on its first finding (the build sets -fno-sanitize-recover); the
# stack shows where.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# The options of each target: the longest input worth trying (a record is 278
# bytes; a whole game takes about 130 bytes of choices, and probes between them
# take more, so the play inputs may be that long from the start) and the
# record's dictionary. A batch operation takes a few bytes per game, a load of
# raw records 279 per game.
declare -A extra=(
  [record_fuzzer]="-max_len=300 -dict=$root/tests/fuzz/record.dict"
  [play_fuzzer]="-max_len=512 -len_control=0"
  [batch_fuzzer]="-max_len=2048"
)

pids=()
for target in "${targets[@]}"; do
  name=${target%_fuzzer}
  corpus=$build/corpus/$name
  mkdir -p "$corpus" "$build/artifacts"
  cp "$root/tests/fuzz/corpus/$name"/* "$corpus/"
  # A single input slower than -timeout seconds counts as a hang. The noisy
  # shared cores make a tight limit flaky; a whole game takes milliseconds.
  # shellcheck disable=SC2086  # the extra options are words
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$name-" ${extra[$target]} "$corpus" >"$build/$name.log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  target=${targets[i]}
  log=$build/${target%_fuzzer}.log
  if ! wait "${pids[i]}"; then
    failed=1
    echo "scripts/fuzz.sh: $target found a fault; the end of $log:" >&2
    tail -n 60 "$log" >&2
    sed -n 's/.*Test unit written to \(.*\)$/scripts\/fuzz.sh: the input is \1/p' "$log" >&2
    echo "scripts/fuzz.sh: reproduce with $build/tests/fuzz/$target INPUT" >&2
  fi
done

# The figures: executions and their rate from the final stats, coverage,
# features and corpus from libFuzzer's last status line.
for target in "${targets[@]}"; do
  log=$build/${target%_fuzzer}.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  status=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$status")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status")
  corp=$(sed -n 's/.* corp: \([^ ]*\).*/\1/p' <<<"$status")
  echo "$target: ${runs:-?} executions, ${rate:-?} exec/s, cov: ${cov:-?}, ft: ${ft:-?}, corpus: ${corp:-?} (inputs/size)"
done
exit "$failed"
