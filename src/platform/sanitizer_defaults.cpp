// What the sanitizers' runtimes do by default in a sanitized build, compiled
// into every program, so that a program started without the test runner's
// environment (by the doctor, by a browser) behaves the same. Apple's
// AddressSanitizer cannot detect leaks and aborts every process that asks
// it to.
extern "C" {

const char* __asan_default_options();
const char* __ubsan_default_options();

const char* __asan_default_options() {
#if defined(__APPLE__)
  return "abort_on_error=1";
#else
  return "detect_leaks=1:abort_on_error=1";
#endif
}

const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }

}  // extern "C"
