// A drive network on a serial link, driven by the line-based control protocol that both the
// standard input of `zorcomm-sim serial` and SimControl of the virtual serial driver take.
// Every control line gets exactly one reply line: "OK[ details]" or "ERR reason".
#pragma once

#include "drive_model.h"
#include "serial_link.h"
#include "sim_options.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

struct Reply {
    bool ok = true;
    std::string text;
    std::string Line() const;
    static Reply Ok(std::string text = {}) { return {true, std::move(text)}; }
    static Reply Error(std::string text) { return {false, std::move(text)}; }
};

// Faults and counters a transport adds to the network's own (the device server's command
// faults and its datagram and block counters). `fault`, `fault clear`, `stats`, `stats reset`
// and `configure` reach them through the simulator.
class TransportExtras {
public:
    virtual ~TransportExtras() = default;
    // A fault of the transport's own ("fault KIND ARGS..."): nullopt when `kind` is not one.
    virtual std::optional<Reply> SetFault(const std::string &kind, const std::vector<std::string> &args) = 0;
    virtual void ClearFaults() = 0;
    virtual std::string FaultSummary() const = 0; // " key=value..." appended to the network's
    virtual std::string Stats() const = 0;        // " key=value..." appended to the network's
    virtual void ResetStats() = 0;
};

class Simulator {
public:
    Simulator();

    // The transport's own faults and counters; null (the default) for none. Not owned.
    void set_extras(TransportExtras *extras) { extras_ = extras; }

    // Replaces the whole network and link (memory, rates and faults start afresh), then applies
    // the options' faults; an error names the first fault line that was refused.
    Reply Configure(const SimOptions &options, Nanos now);

    // One control line, already split into words. Commands of the transport (quit, line,
    // read-timeout ...) are the transport's to answer before it calls this.
    Reply Execute(const std::vector<std::string> &words, Nanos now);

    DriveNetwork &network() { return *network_; }
    SerialLink &link() { return *link_; }
    const SimOptions &options() const { return options_; }

    static const char *Help();

private:
    Reply Fault(const std::vector<std::string> &args, Nanos now);
    Reply WithholdAt(const std::vector<std::string> &args);
    Reply Peek(const std::vector<std::string> &args);
    Reply Poke(const std::vector<std::string> &args);
    Reply Checksum(const std::vector<std::string> &args);
    Reply Unsolicited(const std::vector<std::string> &args, Nanos now);
    Reply Frame(const std::vector<std::string> &args, Nanos now);
    Reply Inject(const std::vector<std::string> &args, Nanos now);
    Reply Info(const std::vector<std::string> &args, Nanos now);
    Reply DriveSetting(const std::string &what, const std::vector<std::string> &args);
    Reply Stats(const std::vector<std::string> &args);
    Reply History();
    std::string FaultSummary() const;

    SimOptions options_;
    TransportExtras *extras_ = nullptr;
    std::unique_ptr<DriveNetwork> network_;
    std::unique_ptr<SerialLink> link_;
};

} // namespace zsim
