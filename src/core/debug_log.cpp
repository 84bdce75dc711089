// Debug log lines for the application's handler and the traffic traces built on them.
#include "core/debug_log.h"

#include <array>
#include <cstdio>

#include "core/process_context.h"
#include "platform/platform.h"

namespace zorcomm {
namespace {

constexpr size_t kLineSize = 512;
constexpr size_t kTraceSize = 128;
constexpr size_t kCanTraceSize = 60;

const char *OrEmpty(const char *text) { return text != nullptr ? text : ""; }

void ReportTraceTooBig() { Log(kLogErrors, "DRV_OutputDebugTraffic", "Buffer too big"); }

// Appends " XX" for each byte; the caller has made sure the text fits.
template <size_t N>
void AppendBytes(std::array<char, N> &text, size_t at, const uint8_t *bytes, uint16_t count) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (uint16_t i = 0; i < count; ++i) {
        text[at++] = ' ';
        text[at++] = kDigits[bytes[i] >> 4];
        text[at++] = kDigits[bytes[i] & 0x0F];
    }
    text[at] = '\0';
}

} // namespace

bool LogEnabled(int level) {
    const ProcessContext &context = Context();
    return context.logLevel >= level && context.logHandler != nullptr;
}

void Log(int level, const char *caption, const char *text) {
    const ProcessContext &context = Context();
    if (context.logLevel < level) return;
    const DebugLogHandler handler = context.logHandler;
    if (handler == nullptr) return;
    // Reading the clock or the handler itself may touch the thread's error code, which callers
    // keep as the error of a failed system call.
    const uint32_t systemError = platform::GetSystemError();
    const platform::LocalTime now = platform::CurrentLocalTime();
    std::array<char, kLineSize> line{};
    std::snprintf(line.data(), line.size(), "%02d:%02d:%02d %s : %s\n", now.hour, now.minute,
                  now.second, OrEmpty(caption), OrEmpty(text));
    handler(line.data());
    platform::SetSystemError(systemError);
}

void LogInfo(const char *text) { Log(kLogInfo, "MSK Info", text); }

void TraceShown(int level, const char *caption, const uint8_t *bytes, uint16_t count) {
    if (3u * count + 1 > kTraceSize) return ReportTraceTooBig();
    std::array<char, kTraceSize> text{};
    if (bytes != nullptr) AppendBytes(text, 0, bytes, count);
    Log(level, caption, text.data());
}

void TraceCan(int level, const char *caption, uint32_t identifier, const uint8_t *bytes,
              uint16_t count) {
    const ProcessContext &context = Context();
    if (context.logLevel < level) return;
    if (3u * count + 10 > kCanTraceSize) return ReportTraceTooBig();
    const bool extendedIds =
        context.currentSlot == nullptr || context.currentSlot->protocolFlag == 0;
    std::array<char, kCanTraceSize> text{};
    const int written =
        extendedIds
            ? std::snprintf(text.data(), text.size(), " %08lX",
                            static_cast<unsigned long>(identifier & 0x1FFFFFFF))
            : std::snprintf(text.data(), text.size(), " %03lX",
                            static_cast<unsigned long>(identifier & 0x7FF));
    if (bytes != nullptr) AppendBytes(text, static_cast<size_t>(written), bytes, count);
    Log(level, caption, text.data());
}

} // namespace zorcomm
