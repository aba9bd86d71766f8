# The HTTP message, the response objects, and the number and range helpers.
pellix_test(core_httpmessage_test SRCS HTTPMessageTest.cpp DEPS pellix::http)
pellix_test(core_httpmessage_grind_test SRCS HTTPMessageGrindTest.cpp DEPS pellix::http)
pellix_test(core_httpdataresponse_test SRCS Responses/HTTPDataResponseTest.cpp DEPS pellix::http)
pellix_test(core_lxdata_test SRCS Categories/LxDataTest.cpp DEPS pellix::http OpenSSL::Crypto)
pellix_test(core_lxnumber_test SRCS Categories/LxNumberTest.cpp DEPS pellix::http)
pellix_test(core_lxrange_test SRCS Categories/LxRangeTest.cpp DEPS pellix::http)

# The request parser's fuzzer and its short run (the folder explains when it is built).
add_subdirectory(${PROJECT_SOURCE_DIR}/fuzz ${CMAKE_BINARY_DIR}/fuzz)
