// Built into every program of the sanitized build. The end-to-end tests start the binary with
// environments of their own, so the options are compiled in: every process writes its reports
// into one directory, which the test script checks once the tests have run.
#define NOLV_EXPORT extern "C" __attribute__((visibility("default"), used))

NOLV_EXPORT const char* __asan_default_options() {
  // A small quarantine of freed memory, so that the tests' memory bounds measure the program
  // and not the checker's 256 MiB default.
  return "log_path=" NOLV_SANITIZER_LOG ":detect_leaks=1:quarantine_size_mb=16";
}

NOLV_EXPORT const char* __lsan_default_options() {
  return "suppressions=" NOLV_LSAN_SUPPRESSIONS;
}

NOLV_EXPORT const char* __ubsan_default_options() {
  return "log_path=" NOLV_SANITIZER_LOG ":print_stacktrace=1";
}

// The leak check runs at exit, after the toolkit and the graphics stack have closed libraries
// they opened: memory that only such a library's data still points to then looks lost, with no
// module left to name. Libraries stay mapped in these builds, so what they hold stays reachable.
NOLV_EXPORT int dlclose(void*) {
  return 0;
}
