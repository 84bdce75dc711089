// Message texts on POSIX: shared objects carry no message tables, so the library's own texts
// come from its built-in table and the rest from the system's error descriptions.
#include "platform/platform.h"

namespace zorcomm::platform {

bool LookUpMessage(uint32_t code, std::string &text, const void *, BuiltInMessages builtIn) {
    if (builtIn) {
        const std::string_view own = builtIn(code);
        if (!own.empty()) {
            text.assign(own);
            return true;
        }
    }
    return SystemErrorText(code, text);
}

} // namespace zorcomm::platform
