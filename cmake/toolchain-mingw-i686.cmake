# Cross build of the Windows library (32-bit, i686) with Debian's MinGW-w64 compilers. The
# -posix variants give std::thread and std::mutex.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZORCOMM_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)
