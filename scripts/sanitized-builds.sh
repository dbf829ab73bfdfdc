# Sourced by scripts/test and scripts/stress-test: the sanitizer settings and the
# two sanitized builds, so that the flake hunt runs exactly what CI runs.
# Expects ROOT (the repository) and JOBS.
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

BuildAsan() {
  cmake -S "$ROOT" -B "$ROOT/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DATLAS_SANITIZE=address,undefined >/dev/null
  cmake --build "$ROOT/build/asan" -j "$JOBS"
}

# Only the threaded worker tests (and the server they start) run under ThreadSanitizer.
BuildTsan() {
  cmake -S "$ROOT" -B "$ROOT/build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DATLAS_SANITIZE=thread -DATLAS_BUILD_GUI=OFF >/dev/null
  cmake --build "$ROOT/build/tsan" -j "$JOBS" --target tiles_worker_tests atlaspocket-tileserver
}
