# The SDK folder: include/, lib/ (import libraries and the CMake package), bin/.
include(CMakePackageConfigHelpers)
install(TARGETS basalt corvane EXPORT CorvaneTargets
        RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS corvane_tool RUNTIME DESTINATION bin)
install(FILES ${CORVANE_RUNTIME_DLLS} DESTINATION bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/basalt/include/ ${CMAKE_SOURCE_DIR}/corvane/include/
        DESTINATION include)
install(TARGETS boost_headers EXPORT CorvaneTargets)
install(EXPORT CorvaneTargets NAMESPACE Corvane:: DESTINATION lib/cmake/Corvane)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/CorvaneConfig.cmake.in
  ${CMAKE_BINARY_DIR}/CorvaneConfig.cmake INSTALL_DESTINATION lib/cmake/Corvane)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/CorvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/CorvaneConfig.cmake ${CMAKE_BINARY_DIR}/CorvaneConfigVersion.cmake
        DESTINATION lib/cmake/Corvane)
