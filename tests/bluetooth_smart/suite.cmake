# The Bluetooth Smart port, locator and escape functions end to end against
# the simulated stack (sim/bluetooth-smart), device nodes in Wine's SetupAPI.
corvane_test(bluetooth_smart corvane_internal blesim)
