pellix_test(util_plxurl_test SRCS PlxUrlTest.cpp DEPS pellix::webapi)
