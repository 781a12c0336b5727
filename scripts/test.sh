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
desktop=share/applications/com.brisklane.Tonvale.desktop
for f in bin/tonvale bin/tonvale-cli "$desktop" share/icons/hicolor/scalable/apps/tonvale.svg \
         lib/tonvale/libVantrell.so lib/tonvale/libtonvale-preview.so; do
  [[ -e "$prefix/$f" ]] || { echo "not installed: $f" >&2; exit 1; }
done
ls "$prefix"/lib/tonvale/hooks/*.so >/dev/null
grep -qx "Exec=$prefix/bin/tonvale %u" "$prefix/$desktop"
for program in tonvale tonvale-cli; do
  if ldd "$prefix/bin/$program" | grep -q 'not found'; then
    ldd "$prefix/bin/$program" >&2
    exit 1
  fi
done
# The installed command line runs from its place (the drive library through its run path).
TONVALE_VIRTUAL_DRIVES= "$prefix/bin/tonvale-cli" drives >/dev/null
rm -rf "$prefix"

echo "== Debian package"
rm -rf "$top/build/package"
(cd "$top/build" && cpack -G DEB -B "$top/build/package" >/dev/null)
deb=$(ls "$top"/build/package/tonvale_*_amd64.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in usr/bin/tonvale usr/bin/tonvale-cli usr/lib/tonvale/libVantrell.so \
         usr/lib/tonvale/libtonvale-preview.so usr/lib/tonvale/hooks/libtonvale_boxhook.so \
         usr/"$desktop" usr/share/icons/hicolor/scalable/apps/tonvale.svg \
         usr/share/metainfo/com.brisklane.Tonvale.metainfo.xml \
         usr/share/man/man1/tonvale.1.gz usr/share/man/man1/tonvale-cli.1.gz \
         usr/share/bash-completion/completions/tonvale-cli \
         usr/share/bash-completion/completions/tonvale \
         usr/share/zsh/vendor-completions/_tonvale-cli usr/share/doc/tonvale/copyright; do
  grep -qx "\./$f" <<<"$contents" || { echo "not in the package: /$f" >&2; exit 1; }
done
# Depends: the linked libraries and the media libraries loaded at run time.
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6widgets6 libcdio19 libavcodec59 libswresample4; do
  grep -q "$package" <<<"$depends" || { echo "Depends lacks $package: $depends" >&2; exit 1; }
done
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
"$unpacked/usr/bin/tonvale-cli" --version
TONVALE_VIRTUAL_DRIVES= "$unpacked/usr/bin/tonvale-cli" drives >/dev/null
desktop-file-validate "$unpacked/usr/$desktop"
grep -qx 'MimeType=x-content/audio-cdda;' "$unpacked/usr/$desktop"
grep -qx 'Exec=/usr/bin/tonvale %u' "$unpacked/usr/$desktop"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/com.brisklane.Tonvale.metainfo.xml" >/dev/null
for page in "$unpacked"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [[ -z "$warnings" ]] || { echo "$page: $warnings" >&2; exit 1; }
done
rm -rf "$unpacked"
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"

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
