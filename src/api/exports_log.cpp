// The three exports without a call frame: plain reads and writes of this process's state.
#include <zorcomm/zorcomm.h>

#include "core/process_context.h"
#include "transport/last_error.h"

extern "C" ZORCOMM_API const char *ZORCOMM_CALL MSK_GetLastError(void) {
    return zorcomm::LastErrorText();
}

extern "C" ZORCOMM_API void ZORCOMM_CALL MSK_RegisterDebugLogHandler(int32_t level,
                                                                     DebugLogHandler handler) {
    zorcomm::ProcessContext &context = zorcomm::Context();
    if (handler != nullptr && level > 0) {
        context.logHandler = handler;
        context.logLevel = level;
    } else {
        context.logHandler = nullptr;
        context.logLevel = 0;
    }
}

extern "C" ZORCOMM_API void ZORCOMM_CALL
MSK_RegisterReceiveUnsolicitedMsgHandler(UnsolicitedMessageHandler handler) {
    zorcomm::Context().unsolicitedHandler = handler;
}
