#!/usr/bin/env bash
# fuzz.sh [SECONDS] - build the libFuzzer targets of the parsers with clang 14
# (ASan and UBSan) into build-fuzz/ and run each for SECONDS (default 60),
# one after another, starting from its seed corpus in tests/fuzz/<target>/corpus.
# New inputs that the fuzzer finds go to build-fuzz/corpus/<target>, a
# finding to build-fuzz/findings/<target>/; exits non-zero on the first finding.
# FUZZ_TARGETS="dump whitelist" limits the run to those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
targets="${FUZZ_TARGETS:-request envelope spamd_reply rspamd_http rspamd_json settings dump whitelist headers}"

cmake -S . -B build-fuzz -DVSA_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 >/dev/null

status=0
for target in $targets; do
  work="build-fuzz/corpus/$target"
  findings="build-fuzz/findings/$target"
  mkdir -p "$work" "$findings"
  log="build-fuzz/$target.log"
  if ! "build-fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$findings/" -rss_limit_mb=1024 "$work" "tests/fuzz/$target/corpus" >"$log" 2>&1; then
    echo "fuzz: $target: FINDING, see $log and $findings/" >&2
    status=1
    break
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz: $target: ${runs:-?} executions in ${seconds} s, no finding"
done
exit $status
