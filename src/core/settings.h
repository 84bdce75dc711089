// Integer settings read from the settings file (section [ZORCOMM]), their defaults and limits,
// and the serial time-out records they make. (transport/link_settings.h gives them to a link.)
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial_port.h"

namespace zorcomm {

// Values kept once per process, at their defaults until the process first reads the file.
struct ProcessSettings {
    uint32_t runDeadTime = 2000;
    uint32_t resetDeadTime = 200;
    uint32_t waitAfterBaudChange = 200;
    uint32_t synchronizationSleepMultiplier = 2;
    uint8_t noTries = 3;
};

// Values kept once in the shared region: the process that reads the file last sets them for
// everybody. They start at 0, except the two RS-485 line controls, which start true.
struct SharedSettings {
    uint32_t canSendTimeout;
    uint32_t canReceiveTimeout;
    uint32_t udpReceiveTimeout;
    uint32_t pcanHardwareType;
    uint32_t pcanIoPort;
    uint32_t pcanInterrupt;
    uint8_t rs485Dtr;
    uint8_t rs485Rts;
};

// The five serial time-outs passed to a port.
using SerialTimeouts = platform::SerialTimeouts;

// The three serial time-out keys, read afresh by every LoadSettings run (not kept anywhere).
struct SerialTimeoutSettings {
    uint32_t readInterval = 1000; // TIMEOUT_READ_INTERVAL
    uint32_t multiplier = 700;    // TIMEOUT_MULTIPLIER
    uint32_t constant = 400;      // TIMEOUT_CONSTANT
};

// The settings file this process reads (null before it attached).
const char *SettingsFilePath();

// GetPrivateProfileIntA("ZORCOMM", key, fallback, SettingsFilePath()).
uint32_t ReadSetting(const char *key, uint32_t fallback);
// The trimmed text of a key of another section of the settings file; false when absent.
bool ReadSettingText(const char *section, const char *key, std::string &value);

// Reads every key: the three serial time-out keys into `serial`, the rest into the process and
// shared values (the PEAK defaults follow `type`, the type code without its protocol flag).
// False when the shared region cannot be mapped.
bool ReadSettings(uint8_t type, SerialTimeoutSettings &serial);

// Clamping rules, kept apart so they can be checked on their own.
uint8_t ClampNoTries(uint32_t raw);
uint32_t ClampSynchronizationSleepMultiplier(uint32_t raw);
uint32_t ClampUdpReceiveTimeout(uint32_t raw);

// The time-out record a serial port of `channelType` gets: the TIMEOUT_* keys for RS-232 and
// RS-485 (types 0, 1), the CAN time-outs for the ASCII CAN adapter's port (type 9), all zero for
// other types. The adapter's port also bounds the wait for a first byte by CAN_RECEIVE_TIMEOUT,
// so that a receive on a silent bus returns.
SerialTimeouts SerialTimeoutsFor(uint8_t channelType, const SerialTimeoutSettings &serial,
                                 const SharedSettings &shared);

// Fills the process's settings file path: the file named by ZORCOMM_SETTINGS, else kernel.cfg
// beside the library's module, else the bare name. Never writes more than `size` bytes: a path
// that does not fit gives the bare name (cut to fit when even that does not).
void FillSettingsFilePath(char *path, unsigned size);

} // namespace zorcomm
