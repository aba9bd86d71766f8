# Tests of the card manager over the simulated card service, and over the real PC/SC stack.
# One label each: pellix_test hands a list of labels to the test properties unescaped, which
# would shift the RESOURCE_LOCK that keeps the real-stack tests off the shared readers.
pellix_test(smartcard_manager_test SRCS SmartCardManagerTest.cpp DEPS pellix::card LABELS concurrency)
pellix_test(smartcard_manager_pcsc_test SRCS SmartCardManagerPcscTest.cpp DEPS pellix::card pellix_virtual_card
  LABELS pcsc PROPERTIES RESOURCE_LOCK pcsc)
pellix_test(smartcard_tester_test SRCS SmartCardTesterTest.cpp DEPS pellix::card)
