corvane_test(framework_api corvane)
