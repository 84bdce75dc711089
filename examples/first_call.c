/* The smallest use of the library: register a debug log handler, make a call that needs an open
 * channel while none is open, and show what the library reports. */
#include <stdio.h>

#include <zorcomm/zorcomm.h>

static void ZORCOMM_CALL PrintLogLine(const char *line) { printf("log: %s", line); }

int main(void) {
    MSK_RegisterDebugLogHandler(1, PrintLogLine);
    if (MSK_UpdateSettings()) {
        printf("unexpected success\n");
        return 1;
    }
    printf("MSK_GetLastError: %s", MSK_GetLastError());
    return 0;
}
