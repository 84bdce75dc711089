# Cross build of the Windows library for x86_64 with Debian's MinGW-w64 compilers (preset win64:
# the tests under 64-bit Wine). The -posix variants give std::thread and std::mutex.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZORCOMM_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)
