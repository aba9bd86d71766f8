# Card layer utilities.
pellix_test(util_bytes_test SRCS ${CMAKE_CURRENT_LIST_DIR}/BytesTest.cpp DEPS pellix::card)
pellix_test(util_commonutil_test SRCS ${CMAKE_CURRENT_LIST_DIR}/CommonUtilTest.cpp DEPS pellix::card)
pellix_test(util_sessionkeycache_test SRCS ${CMAKE_CURRENT_LIST_DIR}/SessionKeyCacheTest.cpp DEPS pellix::card
  LABELS concurrency)
