# The program's connection class over real loopback connections, with a keychain of its own.
pellix_test(plxhttp_plxhttpconnection_test SRCS PlxHTTPConnectionTest.cpp DEPS pellix::webapi LABELS "unit;concurrency")
