// Processes, time, error codes, message texts, environment and the module's own path on
// Windows.
#include <string>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace zorcomm::platform {

namespace {

// The module this code is part of, whatever file name it was loaded under.
HMODULE OwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnModule), &module);
    return module;
}

// FormatMessageA into a string; the text keeps its final CR LF. Inserts are left as they stand:
// no text of the library has any, and a system text that has some gets no arguments here.
bool FormatText(DWORD flags, const void *source, uint32_t code, std::string &text) {
    const DWORD keep = GetLastError();
    char *buffer = nullptr;
    const DWORD length =
        FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       source, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    const bool found = length > 0 && buffer;
    if (found) text.assign(buffer, length);
    if (buffer) LocalFree(buffer);
    SetLastError(keep);
    return found;
}

} // namespace

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

uint32_t TickCount() { return GetTickCount(); }

uint64_t MicrosecondClock() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<uint64_t>(value.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<uint64_t>(now.QuadPart);
    return ticks / frequency * 1000000u + ticks % frequency * 1000000u / frequency;
}

// Sleep(0) gives the rest of the time slice to another thread.
void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

void SleepMicroseconds(uint32_t microseconds) { ::Sleep(microseconds / 1000); }

LocalTime CurrentLocalTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return LocalTime{now.wHour, now.wMinute, now.wSecond};
}

uint32_t GetSystemError() { return GetLastError(); }

void SetSystemError(uint32_t code) { SetLastError(code); }

bool SystemErrorText(uint32_t code, std::string &text) {
    return FormatText(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, text);
}

// The module's message table first, then the system's: FormatMessageA searches both in turn.
bool LookUpMessage(uint32_t code, std::string &text, const void *module, BuiltInMessages) {
    const void *source = module ? module : OwnModule();
    return FormatText(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM, source, code,
                      text);
}

std::string ModulePath() {
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(OwnModule(), path, MAX_PATH);
    if (length < 1 || length >= MAX_PATH) return {};
    return std::string(path, length);
}

std::string Environment(const char *name) {
    char value[1024];
    const DWORD keep = GetLastError();
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    SetLastError(keep);
    if (length == 0 || length >= sizeof value) return {};
    return std::string(value, length);
}

} // namespace zorcomm::platform
