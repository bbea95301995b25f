# The Microsoft Bluetooth driver end to end against the simulated stack
# (sim/bluetooth-classic): loader, RFCOMM port, locator with its registry
# cache, stream server and the factories' choice.
corvane_test(bluetooth corvane_internal bthsim_client)
