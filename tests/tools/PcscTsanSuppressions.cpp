// pcsc-lite's client library keeps the reader states it reads from pcscd in a global buffer
// that two PC/SC contexts of one process fill without a common lock (the library is not
// built with ThreadSanitizer, so only its read() calls show). Our code never shares a
// context between threads; the reports are the library's own and are left out here.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PELLIX_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define PELLIX_TSAN 1
#endif

#ifdef PELLIX_TSAN
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libpcsclite.so.1\n"; }
#endif
