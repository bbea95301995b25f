# The Toshiba Bluetooth driver end to end against the simulated stack
# (sim/bluetooth-toshiba): the wrapper's texts, the port over a virtual COM
# port, the locator and the factories' fallback, and (an entry of its own)
# where the stack's library is looked for. The string table is linked
# in, since the driver reads its texts from the module that holds it. CTest
# runs the program on a cable between COM21 (the stack's virtual port) and
# COM41 (the simulated device's end).
file(GLOB _toshiba_bluetooth_src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/toshiba_bluetooth/*.cpp)
add_executable(test_toshiba_bluetooth ${_toshiba_bluetooth_src} ${CMAKE_BINARY_DIR}/corvane/Corvane.rc)
set_source_files_properties(${CMAKE_BINARY_DIR}/corvane/Corvane.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/corvane/Strings.rc)
target_include_directories(test_toshiba_bluetooth PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/corvane
                           ${CMAKE_SOURCE_DIR}/sim/bluetooth-toshiba)
target_link_libraries(test_toshiba_bluetooth PRIVATE corvane_internal nullmodem_cable gmock gtest_main)
add_dependencies(test_toshiba_bluetooth tosbtsim nullmodem_native)
add_test(NAME toshiba_bluetooth
         COMMAND env TOSBTSIM_PORTS=21:41 ${NULLMODEM_RUN}
                 COM21 COM41 ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:test_toshiba_bluetooth> --gtest_brief=1
                 --gtest_filter=-ToshibaLibrarySearch.*)
set_tests_properties(toshiba_bluetooth PROPERTIES TIMEOUT 300 RESOURCE_LOCK bluetooth_cache)
# The library search needs a process that has not loaded the stack's library yet.
add_test(NAME toshiba_bluetooth_library
         COMMAND ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:test_toshiba_bluetooth> --gtest_brief=1
                 --gtest_filter=ToshibaLibrarySearch.*)
set_tests_properties(toshiba_bluetooth_library PROPERTIES TIMEOUT 120)
