# The connection and the server, over real loopback connections (plain and TLS).
pellix_test(core_httpconnection_test SRCS HTTPConnectionTest.cpp DEPS pellix::http LABELS "unit;concurrency")
pellix_test(core_httpserver_test SRCS HTTPServerTest.cpp DEPS pellix::http LABELS "unit;concurrency")
pellix_test(core_httpserver_soak_test SRCS HTTPServerSoakTest.cpp DEPS pellix::http LABELS "unit;soak")
pellix_test(core_httpauthentication_test SRCS HTTPAuthenticationTest.cpp DEPS pellix::http LABELS "unit;concurrency")
pellix_test(core_fileresponses_test
  SRCS Responses/HTTPFileResponseTest.cpp Responses/HTTPAsyncFileResponseTest.cpp Responses/HTTPDynamicFileResponseTest.cpp
  DEPS pellix::http LABELS "unit;concurrency")
pellix_test(core_httpconfig_test SRCS HTTPConfigTest.cpp DEPS pellix::http)
