# The serial driver end to end on two COM ports joined by an emulated
# null-modem cable (rig/), its settings logic, and the locator. The cable is
# native: a bridge between two pseudo-terminals and a library that wine
# preloads to give them modem lines. CTest runs the program through
# rig/with-rig.sh, which lays the cable and takes it away again.
set(SERIAL_RIG_DIR ${CMAKE_BINARY_DIR}/serial-rig)
set(_rig_src ${CMAKE_CURRENT_SOURCE_DIR}/serial/rig)
add_custom_command(
  OUTPUT ${SERIAL_RIG_DIR}/libmodemlines.so ${SERIAL_RIG_DIR}/nullmodem
  COMMAND make -s -C ${_rig_src} OUT=${SERIAL_RIG_DIR} RIG_CC=gcc
  DEPENDS ${_rig_src}/Makefile ${_rig_src}/linestate.h ${_rig_src}/modemlines.c ${_rig_src}/nullmodem.c
  COMMENT "Building the serial test rig (native)")
add_custom_target(serial_rig ALL DEPENDS ${SERIAL_RIG_DIR}/libmodemlines.so ${SERIAL_RIG_DIR}/nullmodem)

file(GLOB _serial_src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/serial/*.cpp)
add_executable(test_serial ${_serial_src})
target_link_libraries(test_serial PRIVATE corvane_internal gmock gtest_main)
target_include_directories(test_serial PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(test_serial serial_rig)
add_test(NAME serial
         COMMAND sh ${_rig_src}/with-rig.sh ${SERIAL_RIG_DIR} ${CORVANE_WINEPREFIX} COM5 COM6
                 ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:test_serial> --gtest_brief=1)
set_tests_properties(serial PROPERTIES TIMEOUT 300)
