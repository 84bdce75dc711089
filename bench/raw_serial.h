// The baselines of the byte-stream rows: programs that write the frames the library would write
// and read the drives' acknowledges and answers themselves, with nothing else around them. They
// build the serial frame on their own (length byte, address, op code, words high byte first,
// additive checksum) and count the bytes they put on the line both ways, for the wire time.
#pragma once

#include "bench.h"

#include <deque>
#include <netinet/in.h>
#include <span>
#include <vector>

namespace bench {

// Bytes to and from the drives, read exactly.
class RawLink {
public:
    virtual ~RawLink() = default;
    virtual void Write(std::span<const uint8_t> bytes) = 0;
    // Exactly `bytes.size()` bytes, or Failure after a second.
    virtual void Read(std::span<uint8_t> bytes) = 0;
    // Throws away what has arrived and not been read.
    virtual void Purge() = 0;
    // The library empties the input before every message it sends where nobody listens for
    // unsolicited messages, on serial ports and the virtual serial driver (not on datagrams):
    // the block loops do the same there, so that both sides do the same work.
    virtual bool PurgesBeforeSend() const { return true; }
};

// The virtual serial driver, loaded by path (the same copy the library loads).
std::unique_ptr<RawLink> DriverLink();
// A pseudo terminal, raw, 8 data bits and two stop bits at `rate`.
std::unique_ptr<RawLink> PtyLink(const std::string &path, uint32_t rate);
// Datagrams to the device server's data port; what comes back is read as a byte stream.
std::unique_ptr<RawLink> UdpLink(const std::string &address, uint16_t port);

// The serial frame of a message.
std::vector<uint8_t> SerialFrame(uint16_t address, uint16_t opCode, std::span<const uint16_t> words);
// The same into a buffer kept from frame to frame, so that the loops allocate nothing.
void SerialFrameInto(std::vector<uint8_t> &frame, uint16_t address, uint16_t opCode, std::span<const uint16_t> words);

// One drive reached through a RawLink, as a minimal program talks to it.
class RawSerialDrive {
public:
    RawSerialDrive(RawLink &link, uint16_t address = 0x0010, uint16_t replyTo = 0x0011)
        : link_(link), address_(address), replyTo_(replyTo)
    {
    }

    // A message and its acknowledge, after emptying the input when `purge`.
    void Send(uint16_t opCode, std::span<const uint16_t> words, bool purge);
    // A query, its acknowledge and the answer frame (read in one go): the answer's words, in a
    // buffer kept from query to query (valid until the next one).
    std::span<const uint16_t> Query(uint16_t opCode, std::span<const uint16_t> words, uint16_t answerOp,
                                    std::size_t answerWords);

    // The frames of a block write as the library sends them: the download pointer for memory
    // other than data memory, then two words a message.
    void WriteBlock(uint8_t memory, uint16_t address, std::span<const uint16_t> words);
    void ReadBlock(uint8_t memory, uint16_t address, std::span<uint16_t> words);
    uint16_t Checksum(uint8_t memory, uint16_t first, uint16_t last);

    // Bytes on the line so far, both directions.
    uint64_t line_bytes() const { return lineBytes_; }

private:
    RawLink &link_;
    uint16_t address_;
    uint16_t replyTo_;
    uint64_t lineBytes_ = 0;
    std::vector<uint8_t> in_;
    std::vector<uint8_t> out_;
    std::vector<uint16_t> answer_;
};

} // namespace bench
