/* Identifies the drive on a virtual serial channel: the smallest complete use of an installed
 * zorcomm. Usage: consumer DRIVER.so */
#include <stdio.h>

#include <zorcomm/zorcomm.h>

static int Fail(const char *what) {
    fprintf(stderr, "consumer: %s: %s", what, MSK_GetLastError());
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DRIVER.so\n", argv[0]);
        return 2;
    }
    const int32_t handle = MSK_OpenComm(argv[1], 0, 0, CHANNEL_VIRTUAL_SERIAL);
    if (handle <= 0) return Fail("cannot open the channel");

    uint16_t host = 0;
    char version[8] = {0};
    if (!MSK_GetHostDrive(&host)) return Fail("no host axis");
    if (!MSK_GetDriveVersion(version)) return Fail("no firmware version");
    printf("host axis: %u\n", (unsigned)host);
    printf("firmware:  %s\n", version);
    printf("baud rate: %u\n", (unsigned)MSK_GetBaudRate());

    if (!MSK_CloseComm(handle)) return Fail("cannot close the channel");
    return 0;
}
