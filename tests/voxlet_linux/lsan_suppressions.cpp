// The sphinx libraries do not free what they had allocated when an acoustic model fails to load
// half-way; the tests that load a damaged model on purpose would report that as our leak.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libsphinxbase.so\n"
         "leak:libpocketsphinx.so\n";
}
