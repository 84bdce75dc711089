// libsocketcan (Debian's libsocketcan2, "libsocketcan.so.2"): the netlink helper for the bit
// timing and state of SocketCAN interfaces. The declarations of its C interface that the library
// binds at run time; the struct has the layout of the kernel's struct can_bittiming.
#pragma once

#include <cstdint>

namespace zorcomm::vendor::socketcan {

inline constexpr const char *kLibraryFile = "libsocketcan.so.2";

struct can_bittiming {
    uint32_t bitrate;      // bit/s
    uint32_t sample_point; // tenths of a percent
    uint32_t tq;           // ns
    uint32_t prop_seg;
    uint32_t phase_seg1;
    uint32_t phase_seg2;
    uint32_t sjw;
    uint32_t brp;
};
static_assert(sizeof(can_bittiming) == 32);

// CAN controller states of can_get_state.
inline constexpr int kStateErrorActive = 0;
inline constexpr int kStateErrorWarning = 1;
inline constexpr int kStateErrorPassive = 2;
inline constexpr int kStateBusOff = 3;
inline constexpr int kStateStopped = 4;

// Each returns 0 on success, -1 with errno set on failure.
using can_do_start_t = int (*)(const char *name);
using can_do_stop_t = int (*)(const char *name);
using can_set_bitrate_t = int (*)(const char *name, uint32_t bitrate);
using can_get_bittiming_t = int (*)(const char *name, can_bittiming *bt);
using can_get_state_t = int (*)(const char *name, int *state);

} // namespace zorcomm::vendor::socketcan
