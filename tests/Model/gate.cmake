pellix_test(model_gate_test SRCS GateModelsTest.cpp DEPS pellix::webapi)
