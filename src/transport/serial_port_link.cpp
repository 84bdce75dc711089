#include "transport/serial_port_link.h"

#include <array>
#include <cmath>
#include <cstdlib>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "transport/link_settings.h"

namespace zorcomm {

namespace {

using namespace platform;

struct CommErrorText {
    uint32_t flag;
    const char *text;
};

// In the order they are reported.
constexpr std::array<CommErrorText, 11> kCommErrorTexts{{
    {CE_BREAK, "Hardware detected a break condition."},
    {CE_DNS, "Parallel device was not selected."},
    {CE_FRAME, "Hardware detected a framing error."},
    {CE_IOE, "I/O error occurred during an attempt to communicate with a parallel device."},
    {CE_MODE, "Requested mode is not supported, or the idComDev parameter is invalid. If set, "
              "CE_MODE is the only valid error."},
    {CE_OOP, "Parallel device signaled that it is out of paper."},
    {CE_OVERRUN, "Character was not read from the hardware before the next character arrived. "
                 "The character was lost."},
    {CE_PTO, "Timeout occurred during an attempt to communicate with a parallel device."},
    {CE_RXOVER, "Receiving queue overflowed. There was either no room in the input queue or a "
                "character was received after the end-of-file character was received."},
    {CE_RXPARITY, "Hardware detected a parity error."},
    {CE_TXFULL, "Transmission queue was full when a function attempted to queue a character."},
}};

} // namespace

uint32_t CharacterTime(uint32_t baudRate) {
    if (baudRate == 0) return 1;
    return static_cast<uint32_t>(std::ceil(10000.0f / static_cast<float>(baudRate)));
}

bool SerialPortLink::Open(uint32_t number) {
    const std::string path = ComPortPath(number, SettingsFilePath());
    if (path.empty() || !port_.Open(path, true)) return SetError(Error::CannotOpenPort);
    if (!Configure()) {
        port_.Close();
        slot_.channelHandle = 0;
        return SetError(Error::CannotSetupPort);
    }
    return true;
}

bool SerialPortLink::Configure() {
    // A device that opened but takes no port settings (a plain file, /dev/null) fails here.
    if (!port_.SetUp()) return false;
    // The queue sizes of the original set-up have no equivalent here; the kernel's are larger.
    if (!port_.Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return false;
    slot_.channelHandle = port_.Handle();
    if (!LoadSettings(type_)) return false;
    DeviceControlBlock &dcb = slot_.typeArea.serial.portSettings;
    if (!port_.GetState(dcb)) return false;
    const SharedSettings &shared = Shared()->settings;
    const bool rs485 = type_ == CHANNEL_RS485;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = type_ == CHANNEL_LAWICEL_USBCAN ? ONESTOPBIT : TWOSTOPBITS;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fDtrControl = rs485 && shared.rs485Dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = rs485 && shared.rs485Rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    return port_.SetState(dcb);
}

bool SerialPortLink::Join(uint32_t number) {
    const std::string path = ComPortPath(number, SettingsFilePath());
    if (path.empty() || !port_.Open(path, false) || !port_.SetUp()) return false;
    // The time-outs belong to each process's own descriptor here, so the joiner sets its own.
    const SerialTimeoutSettings keys{ReadSetting("TIMEOUT_READ_INTERVAL", 1000),
                                     ReadSetting("TIMEOUT_MULTIPLIER", 700),
                                     ReadSetting("TIMEOUT_CONSTANT", 400)};
    return SetSerialTimeouts(SerialTimeoutsFor(type_, keys, Shared()->settings));
}

void SerialPortLink::ClearErrors() {
    uint32_t flags = 0;
    port_.ClearErrorFlags(flags);
    Context().lastError = 0;
}

bool SerialPortLink::ReadBytes(std::span<uint8_t> bytes) {
    ClearErrors();
    if (bytes.empty()) return true;
    uint32_t read = 0;
    const bool ok = port_.Read(bytes, read);
    if (type_ == CHANNEL_RS485) Shared()->lastRs485Activity = TickCount();
    if (!ok) {
        ReportCommError();
        return false;
    }
    const auto count = static_cast<uint16_t>(read);
    if (read != bytes.size()) {
        if (Traced()) Trace(kLogInfo, "Bytes Read (INCOMPLETE!!!)", bytes.data(), count);
        uint32_t flags = 0;
        port_.ClearErrorFlags(flags);
        return SetError(Error::ReceiveTimeout);
    }
    if (Traced()) Trace(kLogTraffic, "Bytes Read", bytes.data(), count);
    ClearErrors();
    return true;
}

// The line is quiet for two ticks before anyone transmits again. Checking the tick every
// 100 us keeps that gap to within a tenth of a tick, and leaves the processor to the other users
// of the line meanwhile: giving away only the rest of a time slice (Sleep(0)) kept every waiting
// thread of every process spinning, which on a busy machine delayed the very replies they waited
// for.
void SerialPortLink::WaitForRs485Turnaround() {
    constexpr uint32_t kTurnaroundPollMicroseconds = 100;
    uint32_t &last = Shared()->lastRs485Activity;
    uint32_t now = TickCount();
    while (TickDistance(now, last) <= 1) {
        platform::SleepMicroseconds(kTurnaroundPollMicroseconds);
        now = TickCount();
    }
    last = now;
}

bool SerialPortLink::WriteBytes(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return true;
    ClearErrors();
    if (type_ == CHANNEL_RS485) WaitForRs485Turnaround();
    uint32_t written = 0;
    const bool ok = port_.Write(bytes, written);
    if (type_ == CHANNEL_RS485) Shared()->lastRs485Activity = TickCount();
    if (!ok) {
        ReportCommError();
        port_.Purge(PURGE_TXCLEAR);
        return false;
    }
    if (written != bytes.size()) {
        if (Traced())
            Trace(kLogInfo, "Bytes Write(INCOMPLETE)", bytes.data(), static_cast<uint16_t>(written));
        return SetError(Error::SendTimeout);
    }
    if (Traced())
        Trace(kLogTraffic, "Bytes Write", bytes.data(), static_cast<uint16_t>(bytes.size()));
    return true;
}

void SerialPortLink::DrainInput() {
    const uint32_t charTime = CharacterTime(BaudRate());
    port_.Purge(PURGE_TXCLEAR);
    uint32_t flags = 0, waiting = 0;
    do {
        if (!port_.Purge(PURGE_RXCLEAR)) return;
        Sleep(charTime);
        if (!port_.ClearError(flags, waiting)) return;
    } while (waiting > 0);
}

void SerialPortLink::PurgeBeforeSend() { port_.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR); }

int32_t SerialPortLink::BytesInQueue() {
    uint32_t flags = 0, waiting = 0;
    if (!port_.ClearError(flags, waiting)) return -1;
    return static_cast<int32_t>(waiting);
}

uint32_t SerialPortLink::BaudRate() const { return slot_.typeArea.serial.portSettings.BaudRate; }

bool SerialPortLink::SetLinkBaudRate(uint32_t rate) {
    DeviceControlBlock dcb{};
    if (!port_.GetState(dcb)) return false;
    if (dcb.BaudRate == rate) return true;
    dcb.BaudRate = rate;
    if (!ApplyPortSettings(dcb)) {
        Log(kLogErrors, "Set baud rate error", "<Set Comm Baud Rate> Comm. error!");
        return false;
    }
    port_.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    Sleep(Context().settings.waitAfterBaudChange);
    return true;
}

bool SerialPortLink::SetSerialTimeouts(const SerialTimeouts &timeouts) {
    return port_.SetTimeouts(timeouts);
}

bool SerialPortLink::ReapplyPortSettings() {
    return port_.SetState(slot_.typeArea.serial.portSettings);
}

bool SerialPortLink::ApplyPortSettings(const DeviceControlBlock &dcb) {
    if (type_ != CHANNEL_RS232 && type_ != CHANNEL_RS485) return false;
    if (!port_.SetState(dcb)) {
        Context().lastError = GetSystemError();
        return false;
    }
    slot_.typeArea.serial.portSettings = dcb;
    slot_.typeArea.serial.stateChanged = 0;
    for (Slot &other : Shared()->slotTable) {
        if (&other == &slot_ || other.processId == 0 || other.channelHandle == 0 ||
            other.channelType != slot_.channelType || other.channelNumber != slot_.channelNumber)
            continue;
        other.typeArea.serial.portSettings = dcb;
        other.typeArea.serial.stateChanged = 1;
    }
    return true;
}

void SerialPortLink::ReportCommError() {
    const uint32_t systemError = GetSystemError();
    uint32_t flags = 0;
    if (port_.ClearErrorFlags(flags) && flags != 0) LogCommErrors(flags);
    else SetError(systemError);
}

void SerialPortLink::LogCommErrors(uint32_t flags) {
    if (flags == 0 || !LogEnabled(kLogErrors)) return;
    for (const auto &entry : kCommErrorTexts)
        if (flags & entry.flag) Log(kLogErrors, "Comm Error", entry.text);
    Context().lastError = flags;
    SetSystemError(flags);
}

} // namespace zorcomm
