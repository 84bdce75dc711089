// Recording the last error and turning a code into its text.
#include "core/errors.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <string>

#include "core/debug_log.h"
#include "core/process_context.h"
#include "core/region_refusal.h"
#include "platform/platform.h"

namespace zorcomm {
namespace {

// Copies a text into the process's text buffer, which its threads share without a lock as they
// share the code: byte by byte as relaxed atomics, so threads asking at the same moment do not
// race (one of them may read the other's text, as with the code).
template <size_t N> const char *Publish(const std::array<char, N> &text, char (&buffer)[N]) {
    for (size_t i = 0; i < N; ++i) {
        std::atomic_ref<char>(buffer[i]).store(text[i], std::memory_order_relaxed);
        if (text[i] == '\0') break;
    }
    return buffer;
}

// "Error code 0x3E7": upper-case hexadecimal without leading zeros.
template <size_t N> void FormatUnknownCode(uint32_t code, std::array<char, N> &buffer) {
    std::snprintf(buffer.data(), buffer.size(), "Error code 0x%lX",
                  static_cast<unsigned long>(code));
}

} // namespace

bool LookUpErrorText(uint32_t code, std::string &text, const void *module) {
    return platform::LookUpMessage(code, text, module, LibraryErrorText);
}

void CopyCut(std::string_view text, std::span<char> buffer) {
    if (buffer.empty()) return;
    const size_t length = std::min(text.size(), buffer.size() - 1);
    std::copy_n(text.data(), length, buffer.data());
    buffer[length] = '\0';
}

bool SetError(uint32_t code) {
    ProcessContext &context = Context();
    if (code != 0 && context.logLevel >= kLogErrors) {
        std::string text;
        if (LookUpErrorText(code, text)) {
            Log(kLogErrors, "MSK Error", text.c_str());
        } else {
            std::array<char, 60> unknown{};
            FormatUnknownCode(code, unknown);
            Log(kLogErrors, "MSK Error", unknown.data());
        }
    }
    context.lastError = code;
    platform::SetSystemError(code);
    return false;
}

const char *DescribeLastError(ErrorTextSource further) {
    ProcessContext &context = Context();
    std::array<char, sizeof context.lastErrorText> made{};
    const uint32_t systemError = platform::GetSystemError();
    const uint32_t lastError = context.lastError;
    const uint32_t code = lastError != 0 ? lastError : systemError;
    if (code == 0) return Publish(made, context.lastErrorText);
    std::string text;
    // A refused region's code names the object; the table has only the general text.
    if (RegionRefusalText(code, text) || LookUpErrorText(code, text) ||
        (further && further(code, text))) {
        CopyCut(text, made);
    } else {
        FormatUnknownCode(code, made);
    }
    // Asking for the text must not change the thread's code it may describe.
    platform::SetSystemError(systemError);
    return Publish(made, context.lastErrorText);
}

} // namespace zorcomm
