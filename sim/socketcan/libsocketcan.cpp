// A stand-in libsocketcan.so.2 (the netlink helper of Debian's libsocketcan2, same names and
// calls): bit timing, state and start/stop of the simulated interfaces of interfaces.h. Setting
// anything needs the right to administer the network; a process whose environment has
// ZORCOMM_SOCKETCAN_UNPRIVILEGED=1 lacks it and gets EPERM, as from the kernel. As with the
// kernel, the bit timing of an interface that is up cannot change (EBUSY). Every call is appended
// to the call log of ZORCOMM_VENDOR_LOG, one line each ("can_set_bitrate can0 250000").
#include <linux/can/netlink.h>
#include <linux/if_link.h>

#if __has_include(<libsocketcan.h>)
// The real declarations, so that the compiler holds these definitions to them.
#include <libsocketcan.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "interfaces.h"

namespace {

namespace sc = zsim::socketcan;

void LogCall(const char *call, const char *name, const std::string &rest = "")
{
    const char *path = std::getenv("ZORCOMM_VENDOR_LOG");
    if (!path || !*path) return;
    std::string line = std::string(call) + " " + (name ? name : "null") + (rest.empty() ? "" : " " + rest) + "\n";
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
}

int Fail(int code)
{
    errno = code;
    return -1;
}

bool Privileged()
{
    const char *value = std::getenv("ZORCOMM_SOCKETCAN_UNPRIVILEGED");
    return !(value && *value && std::strcmp(value, "0") != 0);
}

// The CAN interface of that name, or errno set as the kernel sets it.
bool Lookup(const char *name, sc::Interface &interface)
{
    if (!name) return Fail(EINVAL), false;
    auto found = sc::Find(name);
    if (!found) return Fail(ENODEV), false;
    if (found->type != sc::LinkType::Can) return Fail(EOPNOTSUPP), false;
    interface = *found;
    return true;
}

// A change: the interface as it is, for `change` to alter and store.
template <typename Change> int Modify(const char *name, Change change)
{
    sc::Interface interface;
    if (!Lookup(name, interface)) return -1;
    if (!Privileged()) return Fail(EPERM);
    const int result = change(interface);
    if (result != 0) return result;
    return sc::Store(interface) ? 0 : -1;
}

int SetRate(const char *name, uint32_t bitrate)
{
    return Modify(name, [bitrate](sc::Interface &interface) {
        if (!interface.bitTiming) return Fail(EOPNOTSUPP);
        if (interface.up) return Fail(EBUSY);
        if (bitrate == 0 || bitrate > 1000000) return Fail(EINVAL);
        interface.bitrate = bitrate;
        return 0;
    });
}

template <typename T> int Zero(const char *call, const char *name, T *into)
{
    LogCall(call, name);
    sc::Interface interface;
    if (!Lookup(name, interface)) return -1;
    if (!into) return Fail(EINVAL);
    std::memset(into, 0, sizeof *into);
    return 0;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int can_do_restart(const char *name)
{
    LogCall("can_do_restart", name);
    return Modify(name, [](sc::Interface &interface) {
        if (!interface.up || interface.canState != CAN_STATE_BUS_OFF) return Fail(EINVAL);
        interface.canState = CAN_STATE_ERROR_ACTIVE;
        return 0;
    });
}

__attribute__((visibility("default"))) int can_do_stop(const char *name)
{
    LogCall("can_do_stop", name);
    return Modify(name, [](sc::Interface &interface) {
        interface.up = false;
        return 0;
    });
}

__attribute__((visibility("default"))) int can_do_start(const char *name)
{
    LogCall("can_do_start", name);
    return Modify(name, [](sc::Interface &interface) {
        interface.up = true;
        interface.canState = CAN_STATE_ERROR_ACTIVE;
        return 0;
    });
}

__attribute__((visibility("default"))) int can_set_restart_ms(const char *name, __u32 restart_ms)
{
    LogCall("can_set_restart_ms", name, std::to_string(restart_ms));
    return Modify(name, [](sc::Interface &) { return 0; });
}

__attribute__((visibility("default"))) int can_set_bittiming(const char *name, struct can_bittiming *bt)
{
    LogCall("can_set_bittiming", name, bt ? std::to_string(bt->bitrate) : "null");
    if (!bt) return Fail(EINVAL);
    return SetRate(name, bt->bitrate);
}

__attribute__((visibility("default"))) int can_set_ctrlmode(const char *name, struct can_ctrlmode *cm)
{
    LogCall("can_set_ctrlmode", name);
    if (!cm) return Fail(EINVAL);
    return Modify(name, [](sc::Interface &interface) { return interface.up ? Fail(EBUSY) : 0; });
}

__attribute__((visibility("default"))) int can_set_bitrate(const char *name, __u32 bitrate)
{
    LogCall("can_set_bitrate", name, std::to_string(bitrate));
    return SetRate(name, bitrate);
}

__attribute__((visibility("default"))) int can_set_bitrate_samplepoint(const char *name, __u32 bitrate,
                                                                       __u32 sample_point)
{
    LogCall("can_set_bitrate_samplepoint", name, std::to_string(bitrate) + " " + std::to_string(sample_point));
    return SetRate(name, bitrate);
}

__attribute__((visibility("default"))) int can_get_restart_ms(const char *name, __u32 *restart_ms)
{
    return Zero("can_get_restart_ms", name, restart_ms);
}

__attribute__((visibility("default"))) int can_get_bittiming(const char *name, struct can_bittiming *bt)
{
    LogCall("can_get_bittiming", name);
    sc::Interface interface;
    if (!Lookup(name, interface)) return -1;
    if (!bt) return Fail(EINVAL);
    // A virtual interface has no bit timing to report.
    if (!interface.bitTiming) return Fail(EOPNOTSUPP);
    std::memset(bt, 0, sizeof *bt);
    // 16 time quanta per bit on an 8 MHz clock, sampled at 87.5 %.
    bt->bitrate = interface.bitrate;
    bt->sample_point = 875;
    bt->brp = interface.bitrate ? 8000000 / (interface.bitrate * 16) : 0;
    bt->tq = interface.bitrate ? 1000000000u / (interface.bitrate * 16) : 0;
    bt->prop_seg = 6;
    bt->phase_seg1 = 7;
    bt->phase_seg2 = 2;
    bt->sjw = 1;
    return 0;
}

__attribute__((visibility("default"))) int can_get_ctrlmode(const char *name, struct can_ctrlmode *cm)
{
    return Zero("can_get_ctrlmode", name, cm);
}

__attribute__((visibility("default"))) int can_get_state(const char *name, int *state)
{
    LogCall("can_get_state", name);
    sc::Interface interface;
    if (!Lookup(name, interface)) return -1;
    if (!state) return Fail(EINVAL);
    *state = interface.up ? interface.canState : CAN_STATE_STOPPED;
    return 0;
}

__attribute__((visibility("default"))) int can_get_clock(const char *name, struct can_clock *clock)
{
    if (Zero("can_get_clock", name, clock) != 0) return -1;
    clock->freq = 8000000;
    return 0;
}

__attribute__((visibility("default"))) int can_get_bittiming_const(const char *name, struct can_bittiming_const *btc)
{
    if (Zero("can_get_bittiming_const", name, btc) != 0) return -1;
    std::strncpy(btc->name, "zsim", sizeof btc->name - 1);
    btc->tseg1_min = 1;
    btc->tseg1_max = 16;
    btc->tseg2_min = 1;
    btc->tseg2_max = 8;
    btc->sjw_max = 4;
    btc->brp_min = 1;
    btc->brp_max = 64;
    btc->brp_inc = 1;
    return 0;
}

__attribute__((visibility("default"))) int can_get_berr_counter(const char *name, struct can_berr_counter *bc)
{
    return Zero("can_get_berr_counter", name, bc);
}

__attribute__((visibility("default"))) int can_get_device_stats(const char *name, struct can_device_stats *cds)
{
    return Zero("can_get_device_stats", name, cds);
}

__attribute__((visibility("default"))) int can_get_link_stats(const char *name, struct rtnl_link_stats64 *rls)
{
    return Zero("can_get_link_stats", name, rls);
}

} // extern "C"
