// The serial port family: RS-232 and RS-485 ports, and the COM port behind the ASCII CAN
// adapter. Byte I/O with the port's time-outs, traffic traces and line-error reports.
#pragma once

#include "platform/serial_port.h"
#include "transport/link.h"

namespace zorcomm {

class SerialPortLink : public Link {
public:
    SerialPortLink(Slot &slot, uint8_t channelType) : Link(slot), type_(channelType) {}

    // Opens and configures COM port `number` for this channel type (9600 baud, 8 data bits, no
    // parity, two stop bits; one for the ASCII CAN adapter). Errors 0x20000072 / 0x20000073.
    bool Open(uint32_t number);
    // Opens the port another process of the library holds, as a second user of it.
    bool Join(uint32_t number);

    bool ReadBytes(std::span<uint8_t> bytes) override;
    bool WriteBytes(std::span<const uint8_t> bytes) override;
    void DrainInput() override;
    void PurgeBeforeSend() override;
    int32_t BytesInQueue() override;
    uint32_t BaudRate() const override;
    bool SetLinkBaudRate(uint32_t rate) override;
    bool SetSerialTimeouts(const platform::SerialTimeouts &timeouts) override;
    bool ReapplyPortSettings() override;
    uint32_t Handle() const override { return port_.Handle(); }
    // Clears the port's error state (and the last error).
    void ClearLineErrors() override { ClearErrors(); }
    void PurgeInput() override { port_.Purge(platform::PURGE_RXCLEAR); }

    // Applies a new device-control block and passes it to every other user of the port.
    bool ApplyPortSettings(const platform::DeviceControlBlock &dcb);
    bool Purge(uint32_t flags) { return port_.Purge(flags); }
    // Clears the port's error state.
    void ClearErrors();

private:
    bool Configure();
    void ReportCommError();
    void LogCommErrors(uint32_t flags);
    void WaitForRs485Turnaround();
    bool Traced() const { return type_ == CHANNEL_RS232 || type_ == CHANNEL_RS485; }

    platform::SerialPort port_;
    uint8_t type_;
};

// The wait of one character at a baud rate, rounded up (9600 baud: 2 ms).
uint32_t CharacterTime(uint32_t baudRate);

} // namespace zorcomm
