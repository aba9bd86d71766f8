# Reader entries and card session records.
pellix_test(model_scslotmodel_test SRCS SCSlotModelTest.cpp DEPS pellix::card)
