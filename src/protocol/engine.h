// The send/receive engine: one drive message out with its acknowledge and retries, one message
// in, the input count, and the resynchronisation of a link at its present rate.
#pragma once

#include <zorcomm/zorcomm.h>

#include <cstdint>
#include "core/function_ref.h"
#include "core/process_context.h"
#include "platform/platform.h"

namespace zorcomm {

class Link;
class CanLink;

// What a byte-stream send does before it writes its message again after a lost acknowledge
// (the link already resynchronised): false ends the send with -1, the hook's error standing.
// Called while the send runs only: a reference to the caller's callable, not a copy.
using BeforeResend = FunctionRef<bool()>;

// Results: 1 done, 0 time-out or nothing received, -1 failure (the last error says why).
int SendDriveMessage(const DriveMessage *message, const BeforeResend &beforeResend = {});
// `acknowledge`, when given, tells whether what came was a lone acknowledge (the record is then
// left as it was).
int ReceiveDriveMessage(DriveMessage *message, bool *acknowledge = nullptr);
// Where a reply wait begins: taken just before its question is sent. Nothing that reached the
// process before then is taken as the answer. On CAN channels the frames the adapter holds are
// moved into the receive queue here (so MSK_ReceiveMessage still gets them, or the handler).
struct ReplyMark {
    uint32_t queued = 0; // the receive queue's mark
    // The selected channel's link as it was at the mark: the wait reads from it.
    Link *link = nullptr;
    CanLink *can = nullptr;
    bool byteStream = false; // resolved, and `link` is there and carries the serial frames
    bool resolved = false;
};
// False, with the adapter's error set, when the adapter fails.
bool MarkReplyWait(ReplyMark &mark);
// Receives until `isReply` accepts a message that came after `mark`, or the reply time-out has
// passed since `start`; other messages go to the unsolicited handler (those from before the
// mark only when one is registered; without one they stay queued), acknowledges are skipped.
// 1 found, 0 nothing (the result of the last receive), -1 failure. With `startAtFirst` the
// clock is read after the first receive instead of `start`: for a wait whose first frame is
// already with the link (Link::FrameAtHand), where that is the same millisecond and the reading
// is saved when the frame is the reply.
template <typename Predicate>
int AwaitReply(const ReplyMark &mark, uint32_t start, uint32_t replyTimeout, Predicate isReply,
               DriveMessage &reply, bool startAtFirst = false);
int32_t BytesInQueue();
bool ResyncLink();
void PostSendDelay(const DriveMessage &message);

// One message from a byte-stream link, as ReceiveDriveMessage gives it.
int ReceiveByteStream(Link &link, DriveMessage &message, bool *acknowledge);
// One message for a reply wait: what ReceiveDriveMessage gives, on CAN only what came after
// the mark.
int ReceiveOtherAfterMark(const ReplyMark &mark, DriveMessage &message, bool &acknowledge);
inline int ReceiveAfterMark(const ReplyMark &mark, DriveMessage &message, bool &acknowledge) {
    // A byte-stream link, the reply wait of every exchange on a fast link, without a call.
    if (mark.byteStream)
        return ReceiveByteStream(*mark.link, message, &acknowledge);
    return ReceiveOtherAfterMark(mark, message, acknowledge);
}
// Hands the messages queued before the mark to the unsolicited handler, when there is one.
void DeliverEarlier(const ReplyMark &mark);

template <typename Predicate>
int AwaitReply(const ReplyMark &mark, uint32_t start, uint32_t replyTimeout, Predicate isReply,
               DriveMessage &reply, bool startAtFirst) {
    if (!mark.resolved || mark.can) DeliverEarlier(mark);
    int result = 0;
    do {
        DriveMessage received{};
        bool acknowledge = false;
        result = ReceiveAfterMark(mark, received, acknowledge);
        if (result < 0) return -1;
        if (result == 1 && !acknowledge) {
            if (isReply(received)) {
                reply = received;
                return 1;
            }
            DeliverUnsolicited(received);
        }
        if (acknowledge) result = 0;
        if (startAtFirst) {
            start = platform::TickCount();
            startAtFirst = false;
        }
    } while (platform::TicksSince(start) < replyTimeout);
    return result;
}

} // namespace zorcomm
