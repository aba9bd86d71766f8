pellix_test(model_scjsonrequest_test SRCS SCJsonRequestTest.cpp DEPS pellix::webapi)
pellix_test(model_scapdurequest_test SRCS SCApduRequestTest.cpp DEPS pellix::webapi)
pellix_test(model_scerrorresponse_test SRCS SCErrorResponseTest.cpp DEPS pellix::webapi)
# Its own program: it counts every allocation through a replaced operator new.
pellix_test(model_scjsonrequest_memory_test SRCS SCJsonRequestMemoryTest.cpp ${PROJECT_SOURCE_DIR}/tests/tools/AllocationCount.cpp
            DEPS pellix::webapi)
