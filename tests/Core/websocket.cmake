# The web socket endpoint, over real loopback connections (plain and TLS), with a raw client,
# Python's websockets client (python3-websockets) and headless Chromium. It counts what operator
# new hands out, for the memory a frame header makes the web socket hold.
find_program(PELLIX_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
pellix_test(core_websocket_test SRCS WebSocketTest.cpp ${PROJECT_SOURCE_DIR}/tests/tools/AllocationCount.cpp
            DEPS pellix::http LABELS "unit;concurrency")
target_compile_definitions(core_websocket_test PRIVATE PELLIX_PYTHON3="${PELLIX_PYTHON3}"
                           PELLIX_WEBSOCKET_CLIENT="${CMAKE_CURRENT_SOURCE_DIR}/websocket_client.py")
