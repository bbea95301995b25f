# corvane.exe as a user runs it: each command end to end, what it prints and
# the status it ends with, against the simulated stacks and devices beside it
# in bin/. The cases on a COM port (ToolOnCable.*) run in an entry of their
# own, on a null-modem cable between COM25 (the port the tool opens) and
# COM45 (the far end, which the test drives).
file(GLOB _tool_src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tool/*.cpp)
add_executable(test_tool ${_tool_src})
target_link_libraries(test_tool PRIVATE corvane nullmodem_cable gmock gtest_main)
target_include_directories(test_tool PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(test_tool corvane_tool blesim blesim_tool usbsim usbsim_tool bthsim tosbtsim corvane-sim)
add_test(NAME tool COMMAND test_tool --gtest_brief=1 --gtest_filter=-ToolOnCable.*)
# It registers the simulated Bluetooth Smart and USB devices' nodes with the
# prefix's SetupAPI and takes them away, and its searches write the
# prefix's Bluetooth device cache: the bluetooth_smart, usb,
# microsoft_bluetooth and toshiba_bluetooth entries reset those between their
# cases, so this one runs alone.
set_tests_properties(tool PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
add_test(NAME tool_serial
         COMMAND ${NULLMODEM_RUN} COM25 COM45 ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:test_tool> --gtest_brief=1
                 --gtest_filter=ToolOnCable.*)
# Skipped cases there mean the cable was missing: nothing was tested.
set_tests_properties(tool_serial PROPERTIES TIMEOUT 300 FAIL_REGULAR_EXPRESSION "SKIPPED")
# The version --version must show: the SDK's own.
target_compile_definitions(test_tool PRIVATE CORVANE_TEST_SDK_VERSION="${PROJECT_VERSION}")
