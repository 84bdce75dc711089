# Writes the message-table source (.mc) of zorcomm.dll from the library's table of error texts,
# so the texts have one home: src/core/error_texts.cpp.
#   cmake -DINPUT=src/core/error_texts.cpp -DOUTPUT=messages.mc -P cmake/message-table.cmake
# Each text there ends in CR LF and has CR LF between its lines; in the .mc every line of a text
# is a line of its own. The file has CR LF line ends, which the message compiler keeps in the
# texts it stores.
if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DINPUT=<error_texts.cpp> -DOUTPUT=<file.mc> -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()

file(READ "${INPUT}" source)
string(FIND "${source}" "kLibraryErrors = {{" first)
string(FIND "${source}" "}};" last)
if(first LESS 0 OR last LESS first)
  message(FATAL_ERROR "${INPUT}: the table kLibraryErrors was not found")
endif()
math(EXPR length "${last} - ${first}")
string(SUBSTRING "${source}" ${first} ${length} table)
# CMake lists cannot carry these; no text has them.
if(table MATCHES "[;]|\\[|\\]")
  message(FATAL_ERROR "${INPUT}: a text holds ';', '[' or ']', which this script cannot carry")
endif()

# Codes and the pieces of string literal that follow each.
string(REGEX MATCHALL "0x2000[0-9a-fA-F]+|\"([^\"\\\\]|\\\\.)*\"" tokens "${table}")

set(body "")
set(count 0)
set(text "")
set(code "")
macro(flush_message)
  if(NOT code STREQUAL "")
    if(NOT text MATCHES "\\\\r\\\\n$")
      message(FATAL_ERROR "${INPUT}: the text of ${code} does not end in CR LF")
    endif()
    string(REGEX REPLACE "\\\\r\\\\n$" "" text "${text}")
    string(REPLACE "\\r\\n" "\r\n" text "${text}")
    string(REPLACE "\\\"" "\"" text "${text}")
    string(REPLACE "\\\\" "\\" text "${text}")
    string(REPLACE "%" "%%" text "${text}") # the compiler's escape character
    if(text MATCHES "\\\\")
      message(FATAL_ERROR "${INPUT}: the text of ${code} holds an escape this script does not know")
    endif()
    # The message ID without the customer bit (bit 29), which the compiler sets (-c).
    math(EXPR id "${code} & 0xFFFF" OUTPUT_FORMAT HEXADECIMAL)
    string(APPEND body "MessageId=${id}\r\nLanguage=English\r\n${text}\r\n.\r\n\r\n")
    math(EXPR count "${count} + 1")
  endif()
endmacro()
foreach(token IN LISTS tokens)
  if(token MATCHES "^0x")
    flush_message()
    set(code "${token}")
    set(text "")
  else()
    string(REGEX REPLACE "^\"(.*)\"$" "\\1" piece "${token}")
    string(APPEND text "${piece}")
  endif()
endforeach()
flush_message()

if(NOT count EQUAL 200)
  message(FATAL_ERROR "${INPUT}: ${count} texts found, 200 expected")
endif()

file(WRITE "${OUTPUT}.new"
  "; The texts of the library's error codes, made from src/core/error_texts.cpp at build time.\r\n"
  "LanguageNames=(English=0x409:MSG00409)\r\n\r\n${body}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
