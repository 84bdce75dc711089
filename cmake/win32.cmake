# The Windows build (preset win32): zorcomm.dll for i686, cross-compiled with MinGW-w64, with
# the Windows side of the platform layer, the exports of src/api/zorcomm.def and the error
# texts as a message-table resource. Included from the top-level CMakeLists.txt instead of the
# POSIX targets; its tests run under Wine (tests/win32/).
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "zorcomm.dll is a 32-bit library: use the win32 preset (i686 MinGW-w64)")
endif()
foreach(tool ZORCOMM_WINDMC ZORCOMM_WINDRES ZORCOMM_OBJDUMP)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} is not set: use cmake/toolchain-mingw-i686.cmake")
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

add_library(zorcomm SHARED ${ZORCOMM_WIN32_SOURCES} ${CMAKE_SOURCE_DIR}/src/api/zorcomm.def
  ${messages_obj})
target_include_directories(zorcomm PRIVATE ${CMAKE_SOURCE_DIR}/src
  PUBLIC ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(zorcomm PRIVATE ZORCOMM_BUILDING_LIBRARY _WIN32_WINNT=0x0601)
# No DLLs beyond the system's: the C++ and threads runtimes are linked in.
target_link_options(zorcomm PRIVATE -static -static-libgcc -static-libstdc++
  -Wl,--enable-stdcall-fixup -Wl,--no-undefined)
# zorcomm.dll, not libzorcomm.dll; the import library for MinGW programs beside it.
set_target_properties(zorcomm PROPERTIES PREFIX "" IMPORT_PREFIX "lib"
  LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/api/zorcomm.def)
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
