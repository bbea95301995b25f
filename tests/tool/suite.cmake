# corvane.exe as a user runs it: a few commands end to end, output and exit status.
corvane_test(tool corvane)
add_dependencies(test_tool corvane_tool)
