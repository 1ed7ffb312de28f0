# What both mingw-w64 toolchains share. The -posix compilers carry std::thread
# and std::mutex; the plain ones use the win32 thread model, which lacks them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${CORVANEL_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANEL_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${CORVANEL_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CORVANEL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
