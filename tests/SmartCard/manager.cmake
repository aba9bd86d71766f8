# Tests of the card manager over the simulated card service, and over the real PC/SC stack.
pellix_test(smartcard_manager_test SRCS SmartCardManagerTest.cpp DEPS pellix::card LABELS "unit;concurrency")
