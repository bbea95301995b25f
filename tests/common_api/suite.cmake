corvane_test(common_api corvane)
