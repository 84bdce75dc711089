#include "transport/virtual_serial_link.h"

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"
#include "platform/platform.h"
#include "transport/serial_port_link.h"

namespace zorcomm {

namespace {
template <typename Function>
bool Bind(const platform::DynamicLibrary &library, const char *name, Function &function) {
    function = reinterpret_cast<Function>(library.Symbol(name));
    return function != nullptr;
}
} // namespace

bool VirtualSerialLink::Load(const std::string &fileName) {
    if (!library_.Load(fileName)) return SetError(platform::GetSystemError());
    const bool bound = Bind(library_, "ReadData", driver_.ReadData) &&
                       Bind(library_, "WriteData", driver_.WriteData) &&
                       Bind(library_, "GetBytesCountInQueue", driver_.GetBytesCountInQueue) &&
                       Bind(library_, "PurgeQueues", driver_.PurgeQueues) &&
                       Bind(library_, "GetCommBaudRate", driver_.GetCommBaudRate) &&
                       Bind(library_, "SetCommBaudRate", driver_.SetCommBaudRate);
    if (!bound) {
        library_.Unload();
        driver_ = {};
        return SetError(Error::CannotLoadDriver);
    }
    return true;
}

bool VirtualSerialLink::OwnErrorText(uint32_t code, std::string &text) const {
    const void *module = library_.NativeHandle();
    return module && LookUpErrorText(code, text, module);
}

bool VirtualSerialLink::ReadBytes(std::span<uint8_t> bytes) {
    Context().lastError = 0;
    uint32_t read = 0;
    if (!driver_.ReadData(bytes.data(), static_cast<uint32_t>(bytes.size()), &read)) return false;
    if (read > bytes.size()) read = static_cast<uint32_t>(bytes.size());
    if (read != bytes.size()) {
        Trace(kLogInfo, "Bytes Read (INCOMPLETE!!!)", bytes.data(), static_cast<uint16_t>(read));
        return SetError(Error::ReceiveTimeout);
    }
    Trace(kLogTraffic, "Bytes Read", bytes.data(), static_cast<uint16_t>(read));
    return true;
}

bool VirtualSerialLink::WriteBytes(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return true;
    Context().lastError = 0;
    uint32_t written = 0;
    if (!driver_.WriteData(bytes.data(), static_cast<uint32_t>(bytes.size()), &written))
        return false;
    if (written != bytes.size()) {
        Trace(kLogInfo, "Bytes Write (INCOMPLETE!!!)", bytes.data(),
              static_cast<uint16_t>(written < bytes.size() ? written : bytes.size()));
        return SetError(Error::SendTimeout);
    }
    Trace(kLogTraffic, "Bytes Write", bytes.data(), static_cast<uint16_t>(bytes.size()));
    return true;
}

void VirtualSerialLink::DrainInput() {
    const uint32_t charTime = CharacterTime(driver_.GetCommBaudRate());
    do {
        driver_.PurgeQueues();
        platform::Sleep(charTime);
    } while (driver_.GetBytesCountInQueue() > 0);
}

void VirtualSerialLink::PurgeBeforeSend() { driver_.PurgeQueues(); }

int32_t VirtualSerialLink::BytesInQueue() { return driver_.GetBytesCountInQueue(); }

uint32_t VirtualSerialLink::BaudRate() const { return driver_.GetCommBaudRate(); }

bool VirtualSerialLink::SetLinkBaudRate(uint32_t rate) {
    if (!driver_.SetCommBaudRate(rate)) {
        Log(kLogErrors, "Set baud rate error", "<Set Comm Baud Rate> Comm. error!");
        return false;
    }
    driver_.PurgeQueues();
    platform::Sleep(Context().settings.waitAfterBaudChange);
    return true;
}

} // namespace zorcomm
