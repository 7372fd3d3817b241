#!/usr/bin/env bash
# Everything CI checks, once the packages are installed (scripts/install-deps.sh): every test
# optimised and under the sanitizers, every test of a build without the window, the release
# build and its Debian package, and a short run of each fuzzer. Each stage's time is printed;
# the last line says whether all passed.
#   scripts/test.sh [STAGE...]   stages dev asan noapp release fuzz, all by default
#   MOSAICER_FUZZ_SECONDS (default 30): how long each fuzzer runs.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${MOSAICER_FUZZ_SECONDS:-30}
timings=()
started=$SECONDS

# Runs one stage; a stage is a function whose steps are joined with &&, since errexit does not
# reach into a function that is run as a condition.
stage() {
  local name=$1 begun=$SECONDS
  echo "==== test.sh: stage $name"
  if ! "stage_$name"; then
    echo "==== test.sh: FAILED in stage $name after $((SECONDS - begun)) s"
    exit 1
  fi
  timings+=("$name $((SECONDS - begun)) s")
  echo "==== test.sh: stage $name passed in $((SECONDS - begun)) s"
}

stage_dev() { cmake --preset dev && cmake --build --preset dev && ctest --preset dev; }

stage_asan() { cmake --preset asan && cmake --build --preset asan && ctest --preset asan; }

# Without the window nothing of it is installed: no desktop entry, no icon.
stage_noapp() {
  cmake --preset noapp && cmake --build --preset noapp && ctest --preset noapp || return 1
  local staged=build-noapp/install-check
  rm -rf "$staged" && cmake --install build-noapp --prefix "$staged" > /dev/null || return 1
  if [ -e "$staged/bin/mosaicer" ] || [ -e "$staged/share/applications" ] || [ -e "$staged/share/icons" ]; then
    echo "a build without the window installs the window's files:" && find "$staged" -type f
    return 1
  fi
}

# The package must depend on the runtime libraries the programs link and on Qt's platform
# plugins, and on no development package; a release build makes no test pictures.
stage_release() {
  cmake --preset release && cmake --build --preset release && (cd build-release && cpack -G DEB) || return 1
  local bad
  for bad in build-release/bin/make-sample build-release/sample.jpg; do
    if [ -e "$bad" ]; then
      echo "the release build made $bad"
      return 1
    fi
  done
  local deb names want
  deb=$(ls -t build-release/mosaicer_*_amd64.deb | head -n 1) && dpkg-deb -I "$deb" || return 1
  # One package name a line, without versions; alternatives count as named.
  names=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g') || return 1
  for want in libc6 libstdc++6 libjpeg62-turbo libpng16-16 libqt6core6 libqt6widgets6 qt6-qpa-plugins; do
    if ! grep -qxF -- "$want" <<< "$names"; then
      echo "$deb does not depend on $want"
      return 1
    fi
  done
  if grep -Eq -- '-(dev|dbg)$' <<< "$names"; then
    echo "$deb depends on a development package:" $names
    return 1
  fi
  local contents file
  contents=$(dpkg-deb -c "$deb") || return 1
  for file in usr/bin/mosaicer usr/bin/mosaicer-cli usr/share/applications/mosaicer.desktop \
    usr/share/icons/hicolor/48x48/apps/mosaicer.png usr/share/man/man1/mosaicer-cli.1; do
    if ! grep -Eq " \./$file$" <<< "$contents"; then
      echo "$deb lacks $file"
      return 1
    fi
  done
}

# fuzz.sh hides its build's output, so the build runs here first where a failure shows.
# libFuzzer exits 0 when it found nothing and non-zero on a crash, leak, timeout or excess memory.
stage_fuzz() {
  cmake --preset fuzz && cmake --build --preset fuzz &&
    bash scripts/fuzz.sh load "$fuzz_seconds" && bash scripts/fuzz.sh breakup "$fuzz_seconds"
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(dev asan noapp release fuzz)
for name in "${stages[@]}"; do
  if [ "$(type -t "stage_$name")" != function ]; then
    echo "==== test.sh: no stage $name (dev, asan, noapp, release, fuzz)" >&2
    exit 2
  fi
done
for name in "${stages[@]}"; do stage "$name"; done

printf '==== test.sh: %s\n' "${timings[@]}"
echo "==== test.sh: every stage passed (${stages[*]}) in $((SECONDS - started)) s"
