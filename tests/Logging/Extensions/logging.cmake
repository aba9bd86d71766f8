pellix_test(logging_dispatchqueueformatter_test SRCS DispatchQueueLogFormatterTest.cpp DEPS pellix::logging LABELS "unit;concurrency")
pellix_test(logging_contextfilterformatter_test SRCS ContextFilterLogFormatterTest.cpp DEPS pellix::logging LABELS "unit;concurrency")
