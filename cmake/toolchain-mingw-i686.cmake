# Cross build for Windows with mingw-w64, i686.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CORVANEL_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
