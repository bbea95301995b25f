# The TCP port and Basalt's sockets, end to end over loopback against corvane-sim.
corvane_test(tcp corvane_internal)
add_dependencies(test_tcp corvane-sim)
