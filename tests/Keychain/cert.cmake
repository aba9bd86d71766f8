pellix_test(keychain_ovkeychain_test SRCS OVKeychainTest.cpp DEPS pellix::cert)
