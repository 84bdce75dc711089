// The debug log: lines handed to the application's handler, and traffic traces.
#pragma once

#include <cstdint>
#include <span>

namespace zorcomm {

constexpr int kLogErrors = 1;
constexpr int kLogInfo = 2;
constexpr int kLogTraffic = 3;

// True when a line of `level` would be shown; cheap, for callers that build texts.
bool LogEnabled(int level);
void Log(int level, const char *caption, const char *text);
void LogInfo(const char *text);
void Trace(int level, const char *caption, const uint8_t *bytes, uint16_t count);
// The identifier is shown as the selected channel's protocol has it (29 or 11 bits).
void TraceCan(int level, const char *caption, uint32_t identifier, const uint8_t *bytes,
              uint16_t count);

} // namespace zorcomm
