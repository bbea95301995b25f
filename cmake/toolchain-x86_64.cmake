# Debian's mingw-w64 cross compiler for 64-bit Windows (posix thread model:
# its shared runtime lets exceptions cross DLL boundaries).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CORVANE_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
