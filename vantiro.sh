#!/usr/bin/env bash
# One entry point for setting up, building, running and testing Vantiro.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD_DIR="${VANTIRO_BUILD_DIR:-$ROOT/build}"
JOBS="${VANTIRO_JOBS:-$(nproc)}"

# Exactly what the project needs from Debian; the compiler and git are assumed.
PACKAGES=(
  cmake ninja-build ccache g++ pkg-config
  qt6-base-dev qt6-base-private-dev libqt6opengl6-dev
  libopencv-dev libopencv-contrib-dev
  libvtk9-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libyaml-dev libxcb1-dev
  clang libclang-rt-14-dev
  xvfb xauth libgl1-mesa-dri
  poppler-utils librsvg2-bin
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

cmd_deps() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "deps: all ${#PACKAGES[@]} packages present"
    return 0
  fi
  echo "deps: installing ${missing[*]}"
  # The package lists may be stale or absent on a fresh machine.
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

cmd_build() {
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${VANTIRO_BUILD_TYPE:-RelWithDebInfo}" "${launcher[@]}"
  fi
  cmake --build "$BUILD_DIR" -j "$JOBS" "$@"
}

run_with_display() {
  if [ -n "${DISPLAY:-}" ]; then
    "$@"
  else
    # -noreset: otherwise the server resets whenever its last client leaves and refuses
    # the test processes that arrive meanwhile.
    xvfb-run -a -s "-screen 0 1600x1000x24 -noreset" "$@"
  fi
}

cmd_gui() {
  if [ ! -x "$BUILD_DIR/vantiro" ]; then cmd_deps; cmd_build; fi
  run_with_display "$BUILD_DIR/vantiro" "$@"
}

cmd_test() {
  cmd_deps
  cmd_build
  cd "$BUILD_DIR"
  run_with_display ctest --output-on-failure -j "$JOBS" "$@"
}

cmd_demo() {
  # Only the command-line tool is needed; when it is up to date this costs a second.
  [ -f "$BUILD_DIR/build.ninja" ] || cmd_deps
  cmd_build --target vantiro-cli
  "$BUILD_DIR/vantiro-cli" demo "$@"
}

# The headless test programs, built with AddressSanitizer and UndefinedBehaviorSanitizer into
# their own folder and run one after another. Any report ends the run with a failure.
SANITIZE_DIR="${VANTIRO_SANITIZE_DIR:-$ROOT/build-sanitize}"
SANITIZE_SUITES=(app sensors targets synth intrinsic stereo projector robot widgets cli)

cmd_sanitize() {
  cmd_deps
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  if [ ! -f "$SANITIZE_DIR/build.ninja" ]; then
    # -O1 keeps the stacks readable and the tests fast enough.
    cmake -S "$ROOT" -B "$SANITIZE_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DCMAKE_C_FLAGS_DEBUG="-O1 -g" \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" "${launcher[@]}"
  fi
  local targets=() suites=()
  for s in "${SANITIZE_SUITES[@]}"; do
    [ -d "$ROOT/tests/$s" ] && ls "$ROOT/tests/$s"/*.cpp >/dev/null 2>&1 || continue
    suites+=("$s"); targets+=(--target "test_$s")
  done
  cmake --build "$SANITIZE_DIR" -j "$JOBS" "${targets[@]}"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
  # The suites run side by side, JOBS at a time; each leaves its log and a status file.
  local failed=() s
  rm -f "$SANITIZE_DIR"/test_*.failed
  for s in "${suites[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
    (
      start=$SECONDS
      if (cd "$SANITIZE_DIR/tests" && "./test_$s" --gtest_brief=1 > "$SANITIZE_DIR/test_$s.log" 2>&1); then
        echo "sanitize: test_$s passed ($((SECONDS - start)) s)"
      else
        touch "$SANITIZE_DIR/test_$s.failed"
        echo "sanitize: test_$s FAILED ($((SECONDS - start)) s), report in $SANITIZE_DIR/test_$s.log"
        grep -E "ERROR: |runtime error:|SUMMARY:|\[  FAILED  \]" "$SANITIZE_DIR/test_$s.log" | head -n 20 || true
      fi
    ) &
  done
  wait
  for s in "${suites[@]}"; do
    if [ -f "$SANITIZE_DIR/test_$s.failed" ]; then failed+=("test_$s"); fi
  done
  [ ${#failed[@]} -eq 0 ] || { echo "sanitize: failed: ${failed[*]}"; return 1; }
}

cmd_fuzz() {
  # Each harness of fuzz/ runs for SECONDS on its seed corpus (fuzz/corpus/<name>/) plus what earlier
  # runs found (build-fuzz/corpus/). A crash, or an input taking over 3 s (a hang), fails the run and
  # leaves the input in build-fuzz/findings/; it then belongs in the regression tests.
  local seconds="${1:-60}"
  local dir="${VANTIRO_FUZZ_DIR:-$ROOT/build-fuzz}"
  [ -f "$dir/build.ninja" ] || cmd_deps
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  if [ ! -f "$dir/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTIRO_FUZZ=ON \
      "${launcher[@]}"
  fi
  cmake --build "$dir" -j "$JOBS" --target vantiro_fuzzers
  mkdir -p "$dir/findings"
  local failed=()
  local harness name
  for harness in "$dir"/fuzz/fuzz_*; do
    [ -f "$harness" ] && [ -x "$harness" ] || continue
    name="$(basename "$harness")"
    name="${name#fuzz_}"
    mkdir -p "$dir/corpus/$name" "$ROOT/fuzz/corpus/$name"
    echo "fuzz: $name for ${seconds} s"
    if ! "$harness" -max_total_time="$seconds" -timeout=3 -rss_limit_mb=4096 -max_len=65536 \
        -artifact_prefix="$dir/findings/$name-" -print_final_stats=1 \
        "$dir/corpus/$name" "$ROOT/fuzz/corpus/$name" > "$dir/$name.log" 2>&1; then
      failed+=("$name")
      tail -n 40 "$dir/$name.log"
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$dir/$name.log" | tr '\n' ' ' || true
    echo
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: findings in ${failed[*]} (inputs in $dir/findings/)"
    return 1
  fi
  echo "fuzz: no findings"
}

usage() {
  cat <<TXT
usage: ./vantiro.sh <command> [args]
  deps    install the Debian packages the project needs (idempotent)
  build   configure and build into build/ (Release with debug info; cmake --build options follow)
  gui     start the program (builds first when needed)
  test    deps + build + all tests (under xvfb-run when there is no display)
  demo    build the command-line tool if needed and run its demo on generated data
  sanitize  build the headless tests with address and undefined-behaviour sanitizers into
          build-sanitize/ and run them; any report fails
  fuzz    [SECONDS] build the fuzzing harnesses into build-fuzz/ (clang) and run each for
          SECONDS (default 60) on the seed corpus in fuzz/corpus/
TXT
}

case "${1:-}" in
  deps) shift; cmd_deps "$@" ;;
  build) shift; cmd_build "$@" ;;
  gui) shift; cmd_gui "$@" ;;
  test) shift; cmd_test "$@" ;;
  demo) shift; cmd_demo "$@" ;;
  sanitize) shift; cmd_sanitize "$@" ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  *) usage; [ -z "${1:-}" ] || exit 2 ;;
esac
