// A helper process of the Windows tests: it loads a copy of the library and follows one command
// per line on standard input, answering each with one line ("OK ..." or "ERR ...").
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "support.h"

namespace wtest {

namespace {

std::string Failure(const Exports &lib) {
    std::string text = lib.MSK_GetLastError();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return "ERR " + text;
}

} // namespace

int ChildMain() {
    Exports lib;
    HMODULE module = nullptr;
    int32_t channel = 0; // the handle of the last channel opened
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream in(line);
        std::string command;
        in >> command;
        std::string reply = "OK";
        if (command == "load") {
            std::string path;
            in >> path;
            module = LoadLibraryA(path.c_str());
            if (!module || !BindExports(module, lib)) reply = "ERR cannot load " + path;
        } else if (!module && command != "exit" && command != "crash" &&
                   command != "take-mutex") {
            reply = "ERR load first";
        } else if (command == "open") {
            std::string name;
            unsigned axis = 0;
            in >> name >> axis;
            const int32_t handle = lib.MSK_OpenComm(name.c_str(), static_cast<uint16_t>(axis), 0,
                                                    CHANNEL_RS232);
            reply = handle > 0 ? "OK " + std::to_string(handle) : Failure(lib);
            if (handle > 0) channel = handle;
        } else if (command == "timeouts") {
            // The time-outs of the port behind the channel: a serial channel's handle is the
            // port's handle in this process.
            COMMTIMEOUTS timeouts{};
            if (!GetCommTimeouts(reinterpret_cast<HANDLE>(static_cast<intptr_t>(channel)),
                                 &timeouts))
                reply = "ERR " + std::to_string(GetLastError());
            else
                reply = "OK " + std::to_string(timeouts.ReadIntervalTimeout) + " " +
                        std::to_string(timeouts.ReadTotalTimeoutMultiplier) + " " +
                        std::to_string(timeouts.ReadTotalTimeoutConstant);
        } else if (command == "send") {
            unsigned axis = 1, op = 0x2345;
            in >> axis >> std::hex >> op;
            DriveMessage message{1, static_cast<uint16_t>(axis << 4), static_cast<uint16_t>(op),
                                 {0x0042}};
            if (!lib.MSK_SendMessage(&message)) reply = Failure(lib);
        } else if (command == "baud") {
            uint32_t rate = 0;
            in >> rate;
            if (!lib.MSK_SetBaudRate(rate)) reply = Failure(lib);
        } else if (command == "getbaud") {
            reply = "OK " + std::to_string(lib.MSK_GetBaudRate());
        } else if (command == "version") {
            char version[8] = {};
            reply = lib.MSK_GetDriveVersion(version) ? std::string("OK ") + version : Failure(lib);
        } else if (command == "close") {
            if (!lib.MSK_CloseComm(-1)) reply = Failure(lib);
        } else if (command == "take-mutex") {
            // Takes a handle of another process's mutex and holds it: "take-mutex PID HANDLE".
            uint32_t pid = 0, handle = 0;
            in >> pid >> handle;
            const auto own = zorcomm::platform::DuplicateMutex(pid, handle);
            if (own == 0) reply = "ERR duplicate failed";
            else if (zorcomm::platform::WaitMutex(own) != zorcomm::platform::WaitResult::Acquired)
                reply = "ERR wait failed";
        } else if (command == "crash") {
            // Ends without the library's detach, as a process that is killed.
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        } else if (command == "exit") {
            std::cout << "OK" << std::endl;
            if (module) FreeLibrary(module);
            return 0;
        } else {
            reply = "ERR unknown command " + command;
        }
        std::cout << reply << std::endl;
    }
    return 1;
}

} // namespace wtest
