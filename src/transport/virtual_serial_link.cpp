#include "transport/virtual_serial_link.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "codec/drive_message.h"
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

// One driver read for the whole answer: it waits, as any read does, up to the driver's read
// time-out for the bytes. False when the driver refused the read.
inline bool VirtualSerialLink::FetchAnswer(size_t bytes) {
    const auto count = static_cast<uint32_t>(std::min(bytes, fetched_.size()));
    uint32_t read = 0;
    if (!driver_.ReadData(fetched_.data(), count, &read)) return false;
    held_ = std::span(fetched_).first(std::min<size_t>(read, count));
    fetchTimedOut_ = held_.size() < count;
    return true;
}

bool VirtualSerialLink::ReadBytes(std::span<uint8_t> bytes) {
    Context().lastError = 0;
    if (const size_t answer = std::exchange(answerFollows_, 0); answer != 0 && held_.empty())
        if (!FetchAnswer(std::max(answer, bytes.size()))) return false;
    const size_t have = std::min(bytes.size(), held_.size());
    CopyHeld(bytes.first(have));
    uint32_t read = 0;
    if (have < bytes.size() && !std::exchange(fetchTimedOut_, false)) {
        const auto rest = bytes.subspan(have);
        if (!driver_.ReadData(rest.data(), static_cast<uint32_t>(rest.size()), &read)) return false;
        if (read > rest.size()) read = static_cast<uint32_t>(rest.size());
    }
    const auto total = static_cast<uint16_t>(have + read);
    if (have + read != bytes.size()) {
        Trace(kLogInfo, "Bytes Read (INCOMPLETE!!!)", bytes.data(), total);
        return SetError(Error::ReceiveTimeout);
    }
    Trace(kLogTraffic, "Bytes Read", bytes.data(), total);
    return true;
}

bool VirtualSerialLink::WriteBytes(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return true;
    fetchTimedOut_ = false; // a new exchange: what is read now is not the earlier answer
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
    Discard();
    do {
        driver_.PurgeQueues();
        platform::Sleep(charTime);
    } while (driver_.GetBytesCountInQueue() > 0);
}

void VirtualSerialLink::PurgeBeforeSend() {
    Discard();
    driver_.PurgeQueues();
}

int32_t VirtualSerialLink::BytesInQueue() {
    const int32_t waiting = driver_.GetBytesCountInQueue();
    if (waiting < 0) return waiting;
    const auto fetched = static_cast<int64_t>(held_.size());
    return static_cast<int32_t>(std::min<int64_t>(waiting + fetched, INT32_MAX));
}

uint32_t VirtualSerialLink::BaudRate() const { return driver_.GetCommBaudRate(); }

bool VirtualSerialLink::SetLinkBaudRate(uint32_t rate) {
    if (!driver_.SetCommBaudRate(rate)) {
        Log(kLogErrors, "Set baud rate error", "<Set Comm Baud Rate> Comm. error!");
        return false;
    }
    Discard();
    driver_.PurgeQueues();
    platform::Sleep(Context().settings.waitAfterBaudChange);
    return true;
}

} // namespace zorcomm
