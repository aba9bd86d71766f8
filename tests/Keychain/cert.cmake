pellix_test(keychain_ovkeychain_test SRCS OVKeychainTest.cpp DEPS pellix::cert)
# The browser certificate installer, with the real certutil on NSS databases of its own.
pellix_test(keychain_firefoxcertmanager_test SRCS FirefoxCertManagerTest.cpp DEPS pellix::cert LABELS unit concurrency)
