pellix_test(asyncsocket_prebuffer_test SRCS AsyncSocketPreBufferTest.cpp DEPS pellix::socket)
pellix_test(asyncsocket_readpacket_test SRCS AsyncReadPacketTest.cpp DEPS pellix::socket)
pellix_test(asyncsocket_test SRCS AsyncSocketTest.cpp DEPS pellix::socket LABELS "unit;concurrency")
pellix_test(asyncsocket_tls_test SRCS AsyncSocketTlsTest.cpp SendFault.cpp DEPS pellix::socket LABELS "unit;concurrency")
pellix_test(asyncsocket_connect_test SRCS AsyncSocketConnectTest.cpp DEPS pellix::socket LABELS "unit;concurrency")
# The read engine's memory: counts what operator new hands out, so a program of its own.
pellix_test(asyncsocket_read_test SRCS AsyncSocketReadTest.cpp ${PROJECT_SOURCE_DIR}/tests/tools/AllocationCount.cpp
            DEPS pellix::socket LABELS "unit;concurrency")
