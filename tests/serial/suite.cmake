# The serial driver end to end on two COM ports joined by the null-modem
# cable of sim/nullmodem, its settings logic, and the locator. CTest runs the
# program on the cable, which is laid before it starts and taken away after.
file(GLOB _serial_src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/serial/*.cpp)
add_executable(test_serial ${_serial_src})
target_link_libraries(test_serial PRIVATE corvane_internal nullmodem_cable gmock gtest_main)
target_include_directories(test_serial PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_test(NAME serial
         COMMAND ${NULLMODEM_RUN} COM5 COM6 ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:test_serial> --gtest_brief=1)
set_tests_properties(serial PROPERTIES TIMEOUT 300)
