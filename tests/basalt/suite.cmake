corvane_test(basalt basalt)
# The library loader test finds the Bluetooth Smart simulator beside it.
add_dependencies(test_basalt blesim)
