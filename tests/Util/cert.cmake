pellix_test(util_opensslproxy_test SRCS OpenSSLProxyTest.cpp DEPS pellix::cert)
