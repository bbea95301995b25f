corvane_test(basalt basalt)
