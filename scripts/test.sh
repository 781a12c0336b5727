#!/usr/bin/env bash
# Installs what is missing, builds Tonvale and runs every test; non-zero on any
# failure. Under CI (CI=true) or with TONVALE_SANITIZERS=1 it also builds and runs
# the tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded
# tests (label "threads") under ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"

jobs=$(nproc)
if [[ "${CI:-}" == "true" ]]; then
  echo "== format check"
  git -C "$top" ls-files '*.cpp' '*.h' '*.c' | (cd "$top" && xargs clang-format --dry-run -Werror)
fi
echo "== build and test"
"$top/scripts/build.sh" "$top/build"
ctest --test-dir "$top/build" --output-on-failure -j"$jobs"

echo "== install check"
prefix=$(mktemp -d)
cmake --install "$top/build" --prefix "$prefix" >/dev/null
for f in bin/tonvale bin/tonvale-cli share/applications/tonvale.desktop \
         share/icons/hicolor/scalable/apps/tonvale.svg; do
  [[ -e "$prefix/$f" ]] || { echo "not installed: $f" >&2; exit 1; }
done
ls "$prefix"/lib*/tonvale/libtonvale-preview.so "$prefix"/lib*/tonvale/hooks/*.so >/dev/null
grep -qx "Exec=$prefix/bin/tonvale" "$prefix/share/applications/tonvale.desktop"
for program in tonvale tonvale-cli; do
  if ldd "$prefix/bin/$program" | grep -q 'not found'; then
    ldd "$prefix/bin/$program" >&2
    exit 1
  fi
done
# The installed command line runs from its place (the drive library through its run path).
TONVALE_VIRTUAL_DRIVES= "$prefix/bin/tonvale-cli" drives >/dev/null
rm -rf "$prefix"

if [[ "${CI:-}" == "true" || "${TONVALE_SANITIZERS:-}" == "1" ]]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  BUILD_TYPE=Debug "$top/scripts/build.sh" "$top/build-asan" -DTONVALE_SANITIZE=address,undefined
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS=suppressions=$top/scripts/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$top/build-asan" --output-on-failure -j"$jobs" -LE nosan

  if ctest --test-dir "$top/build" -N -L threads | grep -q 'Test *#'; then
    echo "== ThreadSanitizer (threaded tests)"
    BUILD_TYPE=Debug "$top/scripts/build.sh" "$top/build-tsan" -DTONVALE_SANITIZE=thread
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$top/scripts/tsan.supp \
      ctest --test-dir "$top/build-tsan" --output-on-failure -j"$jobs" -L threads
  fi
fi
echo "== all tests passed"
