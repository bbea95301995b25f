# The property factories as a client reaches them: through Corvane.dll.
corvane_test(properties_api corvane)
