# Tests of the card manager over the simulated card service, and over the real PC/SC stack.
# One label each: with CMake 3.25 a list of labels still reaches the discovered tests split,
# which would shift the RESOURCE_LOCK that keeps the real-stack tests off the shared readers.
pellix_test(smartcard_manager_test SRCS SmartCardManagerTest.cpp DEPS pellix::card LABELS concurrency)
pellix_test(smartcard_manager_pcsc_test SRCS SmartCardManagerPcscTest.cpp DEPS pellix::card pellix_virtual_card
  LABELS pcsc PROPERTIES RESOURCE_LOCK pcsc)
pellix_test(smartcard_tester_test SRCS SmartCardTesterTest.cpp DEPS pellix::card)
