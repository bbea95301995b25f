# Boost is used header-only. Its headers are reached through a folder of their
# own: adding the build machine's /usr/include would pull glibc headers into
# the Windows build.
set(CORVANE_BOOST_ROOT /usr/include/boost CACHE PATH "Boost headers (the folder named boost)")
if(NOT EXISTS ${CORVANE_BOOST_ROOT}/shared_ptr.hpp)
  message(FATAL_ERROR "Boost headers not found in ${CORVANE_BOOST_ROOT} (Debian: apt-get install libboost-dev)")
endif()
set(CORVANE_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${CORVANE_BOOST_INCLUDE})
file(CREATE_LINK ${CORVANE_BOOST_ROOT} ${CORVANE_BOOST_INCLUDE}/boost SYMBOLIC)
add_library(boost_headers INTERFACE)
target_include_directories(boost_headers SYSTEM INTERFACE $<BUILD_INTERFACE:${CORVANE_BOOST_INCLUDE}>)

# The compiler's shared runtime DLLs go beside ours: one C++ runtime for the
# whole process is what lets an exception thrown in Basalt.dll or Corvane.dll
# be caught in the client's executable.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(_gcc_dll libgcc_s_dw2-1.dll)
else()
  set(_gcc_dll libgcc_s_seh-1.dll)
endif()
set(CORVANE_RUNTIME_DLLS)
foreach(_dll libstdc++-6.dll ${_gcc_dll} libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                  OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
    # libwinpthread lives in the target's own lib folder, not the compiler's.
    find_file(_path_found ${_dll} PATHS /usr/${CORVANE_TRIPLET}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    set(_path ${_path_found})
    unset(_path_found CACHE)
  endif()
  if(NOT EXISTS "${_path}")
    message(FATAL_ERROR "runtime DLL ${_dll} not found for ${CMAKE_CXX_COMPILER}")
  endif()
  file(COPY ${_path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  list(APPEND CORVANE_RUNTIME_DLLS ${_path})
endforeach()

# Tests and tools run under Wine in a prefix of this build tree.
set(CORVANE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

# Our DLLs are named exactly as the SDK documents them.
function(corvane_dll target name)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
                        IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
endfunction()
