pellix_test(asyncsocket_prebuffer_test SRCS AsyncSocketPreBufferTest.cpp DEPS pellix::socket)
pellix_test(asyncsocket_readpacket_test SRCS AsyncReadPacketTest.cpp DEPS pellix::socket)
pellix_test(asyncsocket_test SRCS AsyncSocketTest.cpp DEPS pellix::socket LABELS "unit;concurrency")
pellix_test(asyncsocket_tls_test SRCS AsyncSocketTlsTest.cpp SendFault.cpp DEPS pellix::socket LABELS "unit;concurrency")
