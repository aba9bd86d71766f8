# Command and response APDUs.
pellix_test(smartcard_commandapdu_test SRCS ${CMAKE_CURRENT_LIST_DIR}/CommandAPDUTest.cpp DEPS pellix::card)
pellix_test(smartcard_responseapdu_test SRCS ${CMAKE_CURRENT_LIST_DIR}/ResponseAPDUTest.cpp DEPS pellix::card)
pellix_test(smartcard_apdufuzz_test SRCS ${CMAKE_CURRENT_LIST_DIR}/CommandAPDUFuzzTest.cpp DEPS pellix::card)
