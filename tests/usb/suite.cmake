# The USB port and locator end to end against the simulated instruments of
# sim/usb (UsbSim.dll beside the test, device nodes in Wine's SetupAPI).
corvane_test(usb corvane_internal)
target_include_directories(test_usb PRIVATE ${CMAKE_SOURCE_DIR}/sim/usb)
add_dependencies(test_usb usbsim)
