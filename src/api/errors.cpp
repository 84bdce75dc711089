// Recording the last error and turning a code into its text.
#include "api/errors.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "api/debug_log.h"
#include "api/process_context.h"
#include "platform/platform.h"

namespace zorcomm {
namespace {

// The library's own text first, then the platform's description of a system code.
bool LookUpText(uint32_t code, std::string &text) {
    const std::string_view own = LibraryErrorText(code);
    if (!own.empty()) {
        text.assign(own);
        return true;
    }
    return platform::SystemErrorText(code, text);
}

// "Error code 0x3E7": upper-case hexadecimal without leading zeros.
template <size_t N> void FormatUnknownCode(uint32_t code, std::array<char, N> &buffer) {
    std::snprintf(buffer.data(), buffer.size(), "Error code 0x%lX",
                  static_cast<unsigned long>(code));
}

} // namespace

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
        if (LookUpText(code, text)) {
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

const char *LastErrorText() {
    ProcessContext &context = Context();
    std::span<char> out(context.lastErrorText);
    const uint32_t systemError = platform::GetSystemError();
    const uint32_t code = context.lastError != 0 ? context.lastError : systemError;
    if (code == 0) {
        out[0] = '\0';
        return out.data();
    }
    std::string text;
    // A virtual serial driver (channel type 15) is a plain shared object here: it carries no
    // message table of its own, so asking it for the code's text would find nothing.
    if (LookUpText(code, text)) {
        CopyCut(text, out);
    } else {
        std::array<char, sizeof context.lastErrorText> unknown{};
        FormatUnknownCode(code, unknown);
        CopyCut(unknown.data(), out);
    }
    // Asking for the text must not change the thread's code it may describe.
    platform::SetSystemError(systemError);
    return out.data();
}

} // namespace zorcomm
