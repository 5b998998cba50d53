#!/usr/bin/env bash
# test.sh - the whole test suite: installs what is missing, then builds and
# runs every test three times: a normal Release build, AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer.  Any sanitizer report, in a
# test or in a plugin process that a test started, fails the run.  After the
# Release run, scripts/test-ops.sh tests the manual pages, the Debian package,
# the check mode of the installed plugin and its metrics file.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
status=0
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# run_suite NAME DIR CTEST-ARGS CMAKE-ARGS... - build and run one suite.
run_suite() {
  local name=$1 dir=$2 select=$3; shift 3
  echo "== $name =="
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  # shellcheck disable=SC2086
  if ! (cd "$dir" && ctest -j"$jobs" --timeout 300 --output-on-failure $select ${VSA_CTEST_ARGS:-}); then
    status=1
  fi
}

run_suite "Release" build "" -DCMAKE_BUILD_TYPE=Release
if ! bash scripts/test-ops.sh; then
  status=1
fi
# -O1 keeps the sanitizer builds quick to compile and still fast enough to run.
sanitized=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1")
# The real spamd scenarios (single host and farm) take minutes and exercise
# the same code as the fake spamd: they run once, in the Release build.
run_suite "AddressSanitizer + UndefinedBehaviorSanitizer" build-asan "-LE realspamd" "${sanitized[@]}" \
  -DVSA_SANITIZER=address
run_suite "ThreadSanitizer" build-tsan "-LE realspamd" "${sanitized[@]}" -DVSA_SANITIZER=thread

if [ $status -eq 0 ]; then echo "All three test runs passed."; else echo "Some tests failed." >&2; fi
exit $status
