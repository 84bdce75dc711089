// A helper process that loads the library and follows line commands from the test, so tests can
// drive several processes sharing links. Every command gets one reply line:
//   "ok <value>" or "fail <MSK_GetLastError text with CR LF written as \r\n>".
// Commands:
//   open NAME HOSTAXIS EXCLUSIVE TYPEBYTE    -> ok <handle>
//   close HANDLE | select HANDLE
//   send ADDRESS OPCODE [DATA...]            (numbers in decimal or 0x hex)
//   receive                                  -> ok <address> <opcode> <data...>
//   read ADDRESS MEMORY COUNT                -> ok <word...>
//   write ADDRESS MEMORY WORD...
//   sethost AXIS | setactive AXIS
//   handler on|off                           -> the unsolicited handler collects messages
//   handled                                  -> ok <address> <opcode> <data...>, ... (then forgotten)
//   baud RATE | getbaud | host | active | version | reset | update | queue
//   log LEVEL                                -> starts collecting log lines
//   die-in-write TEXT                        -> the next CAN frame sent is followed by TEXT
//                                               written to $ZORCOMM_COM9, then SIGKILL
//   logged TEXT                              -> ok <number of collected lines containing TEXT>
//   quit
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "test_support.h"

namespace ztest {

int LibraryProcess(Child &self);

// A library process, started and loaded (the test fails when it does not say so).
std::unique_ptr<Child> StartLibraryProcess();
// Sends `command` to a library process and returns its reply line, "<no answer>" when none came
// within `limit`.
std::string Ask(Child &child, const std::string &command,
                std::chrono::milliseconds limit = std::chrono::seconds(30));

// A text on one line: CR and LF written as \r and \n.
std::string Escape(const std::string &text);

// The reply a failing command gives for a library error code.
std::string Failure(uint32_t code);

} // namespace ztest
