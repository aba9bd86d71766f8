# The HTTP message, the response objects, and the number and range helpers.
pellix_test(core_httpmessage_test SRCS HTTPMessageTest.cpp DEPS pellix::http)
pellix_test(core_httpmessage_grind_test SRCS HTTPMessageGrindTest.cpp DEPS pellix::http)
pellix_test(core_httpdataresponse_test SRCS Responses/HTTPDataResponseTest.cpp DEPS pellix::http)
pellix_test(core_lxnumber_test SRCS Categories/LxNumberTest.cpp DEPS pellix::http)
pellix_test(core_lxrange_test SRCS Categories/LxRangeTest.cpp DEPS pellix::http)
