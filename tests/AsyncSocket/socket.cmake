pellix_test(asyncsocket_prebuffer_test SRCS AsyncSocketPreBufferTest.cpp DEPS pellix::socket)
pellix_test(asyncsocket_readpacket_test SRCS AsyncReadPacketTest.cpp DEPS pellix::socket)
pellix_test(asyncsocket_test SRCS AsyncSocketTest.cpp DEPS pellix::socket LABELS "unit;concurrency")
