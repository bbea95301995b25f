# The link protocol engine and a discrete-event model of a whole link (port
# worker, channel, simulated device), white-box and in virtual time.
corvane_test(ble_link corvane_internal)
target_sources(test_ble_link PRIVATE
  ${CMAKE_SOURCE_DIR}/sim/bluetooth-smart/Channel.cpp
  ${CMAKE_SOURCE_DIR}/sim/bluetooth-smart/DeviceLink.cpp)
target_include_directories(test_ble_link PRIVATE ${CMAKE_SOURCE_DIR}/sim/bluetooth-smart)
