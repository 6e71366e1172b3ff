// Built into every program of the thread-checked build (scripts/test-tsan), for the same reason
// as defaults.cpp: the end-to-end tests start the binary with environments of their own, so the
// options are compiled in and every process writes its reports into one directory.
#define NOLV_EXPORT extern "C" __attribute__((visibility("default"), used))

NOLV_EXPORT const char* __tsan_default_options() {
  // ignore_noninstrumented_modules: Qt, D-Bus, GLib, PulseAudio, FFmpeg and libjpeg-turbo are
  // not built with the checks, so the checker sees only their calls into the C library (their
  // allocations, some of their locks) and none of their own futexes and atomics; reports about
  // their memory would be noise. Our own code's accesses are still checked, also when those
  // libraries call it.
  // second_deadlock_stack: a lock-order report shows where both locks were taken.
  return "log_path=" NOLV_SANITIZER_LOG ":suppressions=" NOLV_TSAN_SUPPRESSIONS
         ":ignore_noninstrumented_modules=1:second_deadlock_stack=1:history_size=4";
}
