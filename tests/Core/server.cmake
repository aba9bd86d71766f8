# The connection and the server, over real loopback connections (plain and TLS).
pellix_test(core_httpconnection_test SRCS HTTPConnectionTest.cpp DEPS pellix::http LABELS "unit;concurrency")
