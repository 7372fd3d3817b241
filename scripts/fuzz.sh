#!/usr/bin/env bash
# Runs one libFuzzer harness for a given time:
#   scripts/fuzz.sh [--instrumented-libjpeg] (load|breakup) SECONDS [JOBS]
# Findings land in build-fuzz/findings-NAME/; turn each into a small file in tests/hostile/
# with its fix. With --instrumented-libjpeg the loader is linked against Debian's libjpeg-turbo
# source built with the fuzzer's instrumentation (fetched with apt-get source), so coverage
# guidance reaches into the decoder instead of stopping at our own code.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/fuzz.sh [--instrumented-libjpeg] (load|breakup) SECONDS [JOBS]"
instrumented=0
if [ "${1:-}" = "--instrumented-libjpeg" ]; then
  instrumented=1
  shift
fi
name=${1:?$usage}
seconds=${2:?$usage}
jobs=${3:-1}

build="build-fuzz"
configure=(--preset fuzz)
if [ "$instrumented" = 1 ]; then
  src="build-fuzz-libjpeg"
  if [ ! -f "$src/build/libjpeg.a" ]; then
    if ! ls "$src"/libjpeg-turbo-*/jpeglib.h > /dev/null 2>&1; then
      # Source packages come from Debian's deb-src entries; add one for this release if missing.
      if ! apt-get source --print-uris -qq libjpeg-turbo > /dev/null 2>&1; then
        # shellcheck source=/dev/null
        . /etc/os-release
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
          "$VERSION_CODENAME" > /etc/apt/sources.list.d/mosaicer-deb-src.sources
        apt-get update -qq
      fi
      mkdir -p "$src" && (cd "$src" && apt-get source -qq libjpeg-turbo)
    fi
    mkdir -p "$src/build" "$src/include"
    (cd "$src/build" && CC=clang cmake -G Ninja ../libjpeg-turbo-*/ -DENABLE_SHARED=0 -DWITH_SIMD=0 -DWITH_TURBOJPEG=0 \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
      -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" > /dev/null && ninja jpeg-static > /dev/null)
    cp "$src"/libjpeg-turbo-*/{jpeglib.h,jerror.h,jmorecfg.h} "$src/build/jconfig.h" "$src/include/"
  fi
  build="build-fuzz-instrumented"
  configure+=(-B "$build" -DJPEG_INCLUDE_DIR="$PWD/$src/include" -DJPEG_LIBRARY_RELEASE="$PWD/$src/build/libjpeg.a")
fi
cmake "${configure[@]}" > /dev/null
cmake --build "$build" > /dev/null
corpus=$build/corpus-$name
findings=$build/findings-$name
mkdir -p "$corpus" "$findings"
case "$name" in
  load)
    harness=$build/bin/LoadFuzzer
    for kind in rgb progressive arithmetic grey cmyk ycck; do
      [ -f "$corpus/seed-$kind.jpg" ] || "$build/bin/make-sample" "$corpus/seed-$kind.jpg" 37 23 "$kind"
    done
    cp -n tests/hostile/*.jpg "$corpus"/ 2>/dev/null || true
    ;;
  breakup) harness=$build/bin/BreakupFuzzer ;;
  *) echo "unknown harness $name" >&2; exit 2 ;;
esac
parallel=()
# More than one job writes each job's log to fuzz-N.log in the current folder.
if [ "$jobs" -gt 1 ]; then
  parallel=(-jobs="$jobs" -workers="$jobs")
  cd "$build" && harness=${harness#"$build"/} && corpus=${corpus#"$build"/} && findings=${findings#"$build"/}
fi
exec "$harness" "$corpus" -artifact_prefix="$findings/" -max_total_time="$seconds" \
  -rss_limit_mb=4096 -timeout=20 -max_len=65536 -print_final_stats=1 "${parallel[@]}"
