corvane_test(common corvane_internal)
