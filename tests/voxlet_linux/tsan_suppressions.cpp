// ThreadSanitizer cannot see the atomic operations inside the sound server's client libraries,
// which are not built with it, and reports their own lock-free hand-overs as races.
// A test that ends while a recogniser still loads leaves the loader's language-model reader
// finished but not yet joined by the loading thread, which the process exit cuts short.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulse.so\n"
         "race:libpulsecommon\n"
         "thread:openDecoder\n"
         "thread:loadSphinxDecoder\n";
}
