# The Microsoft Bluetooth driver end to end against the simulated stack
# (sim/bluetooth-classic): loader, RFCOMM port, locator with its registry
# cache, stream server and the factories' choice.
corvane_test(microsoft_bluetooth corvane_internal bthsim_client)
# Its locator cases and the Toshiba entry's write and wipe the prefix's
# Bluetooth device cache in the registry: never both at once.
set_tests_properties(microsoft_bluetooth PROPERTIES RESOURCE_LOCK bluetooth_cache)
# The same program beside the simulator built without the extended pairing
# calls (bin/basic-stack/), for the cases of such a stack; the DLLs it links
# are found in bin/, its working folder.
add_dependencies(test_microsoft_bluetooth bthsim_basic)
add_custom_command(TARGET test_microsoft_bluetooth POST_BUILD
                   COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:test_microsoft_bluetooth> ${CMAKE_BINARY_DIR}/bin/basic-stack/)
add_test(NAME microsoft_bluetooth_basic
         COMMAND ${CMAKE_BINARY_DIR}/wine-run ${CMAKE_BINARY_DIR}/bin/basic-stack/test_microsoft_bluetooth.exe --gtest_brief=1
                 --gtest_filter=BasicStackTest.*
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# Skipped cases there mean the full stack was loaded: nothing was tested.
# Its fixture wipes the Bluetooth device cache too.
set_tests_properties(microsoft_bluetooth_basic PROPERTIES TIMEOUT 120 FAIL_REGULAR_EXPRESSION "SKIPPED"
                                                          RESOURCE_LOCK bluetooth_cache)
