// The virtual serial driver family: a library named by the application that moves the bytes.
#pragma once

#include <array>
#include <string>

#include "platform/dynamic_library.h"
#include "transport/link.h"

namespace zorcomm {

class VirtualSerialLink : public Link {
public:
    VirtualSerialLink(Slot &slot, uint32_t handle) : Link(slot), handle_(handle) {}

    // Loads the driver and binds its six entry points: the system's error when it cannot be
    // loaded, 0x200000f4 when an entry point is missing (nothing stays loaded then).
    bool Load(const std::string &fileName);

    bool ReadBytes(std::span<uint8_t> bytes) override;
    bool WriteBytes(std::span<const uint8_t> bytes) override;
    void DrainInput() override;
    void PurgeBeforeSend() override;
    int32_t BytesInQueue() override;
    uint32_t BaudRate() const override;
    bool SetLinkBaudRate(uint32_t rate) override;
    uint32_t Handle() const override { return handle_; }
    // The message texts of the driver's module describe the codes it leaves.
    bool OwnErrorText(uint32_t code, std::string &text) const override;

private:
    // The driver's functions use the standard Windows calling convention on Windows.
    struct EntryPoints {
        uint8_t(ZORCOMM_CALL *ReadData)(void *, uint32_t, uint32_t *);
        uint8_t(ZORCOMM_CALL *WriteData)(const void *, uint32_t, uint32_t *);
        int32_t(ZORCOMM_CALL *GetBytesCountInQueue)();
        void(ZORCOMM_CALL *PurgeQueues)();
        uint32_t(ZORCOMM_CALL *GetCommBaudRate)();
        uint8_t(ZORCOMM_CALL *SetCommBaudRate)(uint32_t);
    };

    // Bytes fetched from the driver beyond what a read asked for, held in `fetched_`. Every
    // driver call goes through the driver's own locking and line model, so an answer is fetched
    // in one call. A channel of this family belongs to one process, so what is kept here is
    // nobody else's.
    bool FetchAnswer(size_t bytes);
    void DropFetched() { held_ = {}; }
    // Everything received is thrown away: nothing of an earlier answer is read any more.
    void Discard() {
        DropFetched();
        fetchTimedOut_ = false;
    }

    platform::DynamicLibrary library_;
    EntryPoints driver_{};
    uint32_t handle_;
    std::array<uint8_t, 64> fetched_{};
    // The fetch of an answer ended with the driver's read time-out before all its bytes came:
    // the first read that the fetched bytes cannot satisfy ends as the driver's read would have
    // ended in that time, without waiting for the driver a second time.
    bool fetchTimedOut_ = false;
};

} // namespace zorcomm
