# PIN-protected APDUs, masking keys and document keys.
pellix_test(model_apdukeyref_test SRCS ${CMAKE_CURRENT_LIST_DIR}/ApduKeyRefTest.cpp DEPS pellix::card)
pellix_test(model_keyreferencecache_test SRCS ${CMAKE_CURRENT_LIST_DIR}/KeyReferenceCacheTest.cpp DEPS pellix::card
  LABELS concurrency)
pellix_test(model_pindescriptor_test SRCS ${CMAKE_CURRENT_LIST_DIR}/PinDescriptorTest.cpp DEPS pellix::card)
pellix_test(model_pinprotectedapdu_test SRCS ${CMAKE_CURRENT_LIST_DIR}/PinProtectedApduTest.cpp DEPS pellix::card)
pellix_test(model_sessionkeyreference_test SRCS ${CMAKE_CURRENT_LIST_DIR}/SessionKeyReferenceTest.cpp DEPS pellix::card)
