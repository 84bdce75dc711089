// A drive network on a serial link, driven by the line-based control protocol that both the
// standard input of `zorcomm-sim serial` and SimControl of the virtual serial driver take.
// Every control line gets exactly one reply line: "OK[ details]" or "ERR reason".
#pragma once

#include "drive_model.h"
#include "serial_link.h"
#include "sim_options.h"

#include <memory>
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

class Simulator {
public:
    Simulator();

    // Replaces the whole network and link (memory, rates and faults start afresh), then applies
    // the options' faults; an error names the first fault line that was refused.
    Reply Configure(const SimOptions &options, Micros now);

    // One control line, already split into words. Commands of the transport (quit, line,
    // read-timeout ...) are the transport's to answer before it calls this.
    Reply Execute(const std::vector<std::string> &words, Micros now);

    DriveNetwork &network() { return *network_; }
    SerialLink &link() { return *link_; }
    const SimOptions &options() const { return options_; }

    static const char *Help();

private:
    Reply Fault(const std::vector<std::string> &args, Micros now);
    Reply Peek(const std::vector<std::string> &args);
    Reply Poke(const std::vector<std::string> &args);
    Reply Checksum(const std::vector<std::string> &args);
    Reply Unsolicited(const std::vector<std::string> &args, Micros now);
    Reply Frame(const std::vector<std::string> &args, Micros now);
    Reply Inject(const std::vector<std::string> &args, Micros now);
    Reply Info(const std::vector<std::string> &args, Micros now);
    Reply DriveSetting(const std::string &what, const std::vector<std::string> &args);
    Reply Stats(const std::vector<std::string> &args);
    Reply History();
    std::string FaultSummary() const;

    SimOptions options_;
    std::unique_ptr<DriveNetwork> network_;
    std::unique_ptr<SerialLink> link_;
};

} // namespace zsim
