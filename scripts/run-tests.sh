#!/usr/bin/env bash
# The whole test suite: normal build and its tests (which include the
# Windows compile check of the core), the sanitizer build and its tests,
# and a bounded run of every fuzz target.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in default asan; do
  echo "=== $preset build"
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$jobs"
  echo "=== $preset tests"
  ctest --preset $preset -j "$jobs" || status=1
done
if [ -f fuzz/CMakeLists.txt ]; then
  echo "=== fuzz targets (bounded)"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  for f in $(find build/fuzz/fuzz -name 'fuzz_*' -type f -perm -u+x | sort); do
    corpus=$(mktemp -d)
    if "$f" -max_total_time=${U62_FUZZ_SECONDS:-30} -max_len=4096 "$corpus" >"$corpus.log" 2>&1; then
      echo "$(basename "$f"): $(grep -E '^(Done|#[0-9]+.*DONE)' "$corpus.log" | tail -1)"
    else
      echo "FAILED: $(basename "$f")"; tail -30 "$corpus.log"; status=1
    fi
    rm -rf "$corpus" "$corpus.log"
  done
fi
exit $status
