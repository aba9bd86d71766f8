# Tests of the card manager over the simulated card service, and over the real PC/SC stack.
pellix_test(smartcard_manager_test SRCS SmartCardManagerTest.cpp DEPS pellix::card LABELS "unit;concurrency")
pellix_test(smartcard_manager_pcsc_test SRCS SmartCardManagerPcscTest.cpp DEPS pellix::card pellix_virtual_card
  LABELS "pcsc;concurrency" PROPERTIES RESOURCE_LOCK pcsc)
pellix_test(smartcard_tester_test SRCS SmartCardTesterTest.cpp DEPS pellix::card)
