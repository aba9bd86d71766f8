pellix_test(model_scjsonrequest_test SRCS SCJsonRequestTest.cpp DEPS pellix::webapi)
pellix_test(model_scapdurequest_test SRCS SCApduRequestTest.cpp DEPS pellix::webapi)
pellix_test(model_scerrorresponse_test SRCS SCErrorResponseTest.cpp DEPS pellix::webapi)
