// ThreadSanitizer cannot see the atomic operations inside the sound server's client libraries,
// which are not built with it, and reports their own lock-free hand-overs as races.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulse.so\n"
         "race:libpulsecommon\n";
}
