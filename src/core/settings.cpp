#include "core/settings.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/process_context.h"
#include "platform/platform.h"

namespace zorcomm {
namespace {

constexpr const char *kSection = "ZORCOMM";
constexpr const char *kFileName = "kernel.cfg";
#ifdef _WIN32
constexpr const char *kPathSeparators = "\\/";
#else
constexpr const char *kPathSeparators = "/";
#endif

constexpr uint8_t kMinimumTries = 3;
constexpr uint32_t kSleepMultiplierMinimum = 2;
constexpr uint32_t kSleepMultiplierMaximum = 2000;
constexpr uint32_t kUdpTimeoutMinimum = 200;
constexpr uint32_t kUdpTimeoutMaximum = 5000;

void LoadProcessSettings(ProcessSettings &settings) {
    settings.runDeadTime = ReadSetting("RUN_DEAD_TIME", 2000);
    settings.resetDeadTime = ReadSetting("RESET_DEAD_TIME", 200);
    settings.waitAfterBaudChange = ReadSetting("WAIT_AFTER_BAUD_CHANGE", 200);
    settings.synchronizationSleepMultiplier =
        ClampSynchronizationSleepMultiplier(ReadSetting("SYNCHRONIZATION_SLEEP_MULTIPLIER", 2));
    settings.noTries = ClampNoTries(ReadSetting("NO_TRIES", kMinimumTries));
}

// Written field by field without a lock: readers in other processes may see a mix of old and new
// values during a reload, which every user of them tolerates.
void LoadSharedSettings(SharedSettings &settings, bool pcanDongle) {
    settings.canSendTimeout = ReadSetting("CAN_SEND_TIMEOUT", 700);
    settings.canReceiveTimeout = ReadSetting("CAN_RECEIVE_TIMEOUT", 700);
    settings.udpReceiveTimeout = ClampUdpReceiveTimeout(ReadSetting("UDP_RECEIVE_TIMEOUT", 700));
    settings.pcanHardwareType = ReadSetting("PEAK_SYS_PCAN_HWTYPE", pcanDongle ? 3 : 2);
    settings.pcanIoPort = ReadSetting("PEAK_SYS_PCAN_IO", pcanDongle ? 0x378 : 0x300);
    settings.pcanInterrupt = ReadSetting("PEAK_SYS_PCAN_IRQ", 7);
    settings.rs485Dtr = ReadSetting("RS485_DTR", 1) != 0;
    settings.rs485Rts = ReadSetting("RS485_RTS", 1) != 0;
}

} // namespace

const char *SettingsFilePath() {
    const char *path = Context().settingsFilePath;
    return path[0] != '\0' ? path : nullptr;
}

uint32_t ReadSetting(const char *key, uint32_t fallback) {
    const char *path = SettingsFilePath();
    return path ? platform::ReadProfileInt(kSection, key, fallback, path) : fallback;
}

bool ReadSettingText(const char *section, const char *key, std::string &value) {
    const char *path = SettingsFilePath();
    return path && platform::ReadProfileString(section, key, value, path);
}

uint8_t ClampNoTries(uint32_t raw) {
    const auto low = static_cast<uint8_t>(raw & 0xFF);
    return std::max<uint8_t>(low, kMinimumTries);
}

uint32_t ClampSynchronizationSleepMultiplier(uint32_t raw) {
    return std::clamp(raw, kSleepMultiplierMinimum, kSleepMultiplierMaximum);
}

uint32_t ClampUdpReceiveTimeout(uint32_t raw) {
    return std::clamp(raw, kUdpTimeoutMinimum, kUdpTimeoutMaximum);
}

SerialTimeouts SerialTimeoutsFor(uint8_t channelType, const SerialTimeoutSettings &serial,
                                 const SharedSettings &shared) {
    switch (channelType) {
    case CHANNEL_RS232:
    case CHANNEL_RS485:
        return {serial.readInterval, serial.multiplier, serial.constant, 0, 0};
    case CHANNEL_LAWICEL_USBCAN:
        // With only an interval time-out the port would wait for the first byte without limit.
        return {shared.canReceiveTimeout, 0, shared.canReceiveTimeout, 0, shared.canSendTimeout};
    default:
        return {};
    }
}

bool ReadSettings(uint8_t type, SerialTimeoutSettings &serial) {
    serial.multiplier = ReadSetting("TIMEOUT_MULTIPLIER", serial.multiplier);
    serial.constant = ReadSetting("TIMEOUT_CONSTANT", serial.constant);
    serial.readInterval = ReadSetting("TIMEOUT_READ_INTERVAL", serial.readInterval);
    LoadProcessSettings(Context().settings);

    SharedSection *shared = Shared();
    if (!shared) return false;
    LoadSharedSettings(shared->settings, type == CHANNEL_PEAK_PCAN_DONGLE);
    return true;
}

void FillSettingsFilePath(char *path, unsigned size) {
    if (!path || size == 0) return;
    std::string chosen = platform::Environment("ZORCOMM_SETTINGS");
    if (chosen.empty()) {
        const std::string module = platform::ModulePath();
        const size_t cut = module.find_last_of(kPathSeparators);
        chosen = cut == std::string::npos ? kFileName : module.substr(0, cut + 1) + kFileName;
    }
    if (chosen.size() >= size) chosen = kFileName;
    const size_t length = std::min<size_t>(chosen.size(), size - 1);
    std::memcpy(path, chosen.data(), length);
    path[length] = '\0';
}

} // namespace zorcomm
