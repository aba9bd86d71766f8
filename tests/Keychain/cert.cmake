# Some of its cases use up every descriptor of the process while the keychain works. The
# sanitizer build's type check of a virtual call reads the object through a pipe, so it then
# fails for sound objects; its reports are printed but do not stop this program, as for pellix
# run out of descriptors by the end-to-end tests. Every other check still stops it, and
# AddressSanitizer still stops at any real fault of memory.
pellix_test(keychain_ovkeychain_test SRCS OVKeychainTest.cpp DEPS pellix::cert
  PROPERTIES ENVIRONMENT "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=0")
# The browser certificate installer, with the real certutil on NSS databases of its own.
pellix_test(keychain_firefoxcertmanager_test SRCS FirefoxCertManagerTest.cpp DEPS pellix::cert LABELS unit concurrency)
