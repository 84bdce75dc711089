// The debug log: lines handed to the application's handler, and traffic traces.
#pragma once

#include <cstdint>
#include <span>

#include "core/process_context.h"

namespace zorcomm {

constexpr int kLogErrors = 1;
constexpr int kLogInfo = 2;
constexpr int kLogTraffic = 3;

// True when a line of `level` would be shown; cheap, for callers that build texts.
bool LogEnabled(int level);
void Log(int level, const char *caption, const char *text);
void LogInfo(const char *text);
// Traces the bytes when the log level shows `level`; the test is inline, since a trace is
// asked for on every read and write of a link and is almost always off.
void TraceShown(int level, const char *caption, const uint8_t *bytes, uint16_t count);
inline void Trace(int level, const char *caption, const uint8_t *bytes, uint16_t count) {
    if (Context().logLevel >= level) TraceShown(level, caption, bytes, count);
}
// The identifier is shown as the selected channel's protocol has it (29 or 11 bits).
void TraceCan(int level, const char *caption, uint32_t identifier, const uint8_t *bytes,
              uint16_t count);

} // namespace zorcomm
