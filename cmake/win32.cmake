# The Windows build: zorcomm.dll, cross-compiled with MinGW-w64, with the Windows side of the
# platform layer, the exports of src/api/zorcomm.def and the error texts as a message-table
# resource. Included from the top-level CMakeLists.txt instead of the POSIX targets; its tests
# run under Wine (tests/win32/). The product is the 32-bit DLL (preset win32, i686); the same
# DLL for x86_64 (preset win64) runs the same tests under 64-bit Wine on machines that run no
# 32-bit programs.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ZORCOMM_WINE_ARCH win32)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZORCOMM_WINE_ARCH win64)
else()
  message(FATAL_ERROR "zorcomm.dll is built for i686 (preset win32) or x86_64 (preset win64)")
endif()
foreach(tool ZORCOMM_WINDMC ZORCOMM_WINDRES ZORCOMM_OBJDUMP)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} is not set: use cmake/toolchain-mingw-i686.cmake or "
      "cmake/toolchain-mingw-x86_64.cmake")
  endif()
endforeach()

# Everything under src/ but the POSIX side of the platform layer.
file(GLOB_RECURSE ZORCOMM_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*.cpp)
list(FILTER ZORCOMM_WIN32_SOURCES EXCLUDE REGEX "/src/platform/posix/")

# The message table: error_texts.cpp -> .mc -> MSG00409.bin + .rc (windmc: ASCII in, UTF-16 out,
# customer bit set) -> COFF object (windres).
set(messages_dir ${CMAKE_BINARY_DIR}/messages)
set(messages_mc ${messages_dir}/zorcomm_messages.mc)
set(messages_obj ${messages_dir}/zorcomm_messages.o)
add_custom_command(OUTPUT ${messages_mc}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${messages_dir}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_SOURCE_DIR}/src/core/error_texts.cpp
          -DOUTPUT=${messages_mc} -P ${CMAKE_SOURCE_DIR}/cmake/message-table.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/src/core/error_texts.cpp ${CMAKE_SOURCE_DIR}/cmake/message-table.cmake
  COMMENT "Message table source from src/core/error_texts.cpp")
add_custom_command(OUTPUT ${messages_obj}
  COMMAND ${ZORCOMM_WINDMC} -a -U -c -h ${messages_dir} -r ${messages_dir} ${messages_mc}
  COMMAND ${ZORCOMM_WINDRES} --input-format=rc --output-format=coff
          --include-dir=${messages_dir} -i ${messages_dir}/zorcomm_messages.rc -o ${messages_obj}
  DEPENDS ${messages_mc}
  WORKING_DIRECTORY ${messages_dir}
  COMMENT "Message table resource")
set_source_files_properties(${messages_obj} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

# The exported names are the 32-bit ones on both targets. On x86_64 the compiler leaves the
# internal names undecorated (one calling convention), so the export definitions are the 32-bit
# file's with the decoration taken off the internal side of each line.
set(exports_def ${CMAKE_SOURCE_DIR}/src/api/zorcomm.def)
if(ZORCOMM_WINE_ARCH STREQUAL win64)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${exports_def})
  file(READ ${exports_def} exports)
  string(REGEX REPLACE "= (MSK_[A-Za-z]+)@[0-9]+ " "= \\1 " exports "${exports}")
  set(exports_def ${CMAKE_BINARY_DIR}/zorcomm-x86_64.def)
  file(GENERATE OUTPUT ${exports_def} CONTENT
    "; Made from src/api/zorcomm.def for x86_64: the same names for the undecorated functions.\n${exports}")
endif()

add_library(zorcomm SHARED ${ZORCOMM_WIN32_SOURCES} ${exports_def} ${messages_obj})
target_include_directories(zorcomm PRIVATE ${CMAKE_SOURCE_DIR}/src
  PUBLIC ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(zorcomm PRIVATE ZORCOMM_BUILDING_LIBRARY _WIN32_WINNT=0x0601)
# No DLLs beyond the system's: the C++ and threads runtimes are linked in.
target_link_options(zorcomm PRIVATE -static -static-libgcc -static-libstdc++
  -Wl,--enable-stdcall-fixup -Wl,--no-undefined)
# zorcomm.dll, not libzorcomm.dll; the import library for MinGW programs beside it.
set_target_properties(zorcomm PROPERTIES PREFIX "" IMPORT_PREFIX "lib"
  LINK_DEPENDS ${exports_def})
if(TARGET layout-check)
  add_dependencies(zorcomm layout-check)
endif()

install(TARGETS zorcomm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/zorcomm/zorcomm.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zorcomm)

if(ZORCOMM_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/win32)
endif()
