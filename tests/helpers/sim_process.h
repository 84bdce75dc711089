// The simulated drive network as a separate process: `zorcomm-sim serial` on a pty, driven
// through its standard input and output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ztest {

// Paths of the simulator's programs and libraries in the build tree.
std::string SimProgram();
std::string SimDriver();
std::string SimBrokenDriver();

class SimProcess {
public:
    // Starts `zorcomm-sim <arguments>` and reads the first line it prints (the pty path for
    // `serial`). Fails the test when it does not start.
    explicit SimProcess(const std::vector<std::string> &arguments);
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    const std::string &firstLine() const { return firstLine_; }
    bool running() const { return pid_ > 0; }
    // One control line and its one reply line.
    std::string Command(const std::string &line,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));
    void Stop();

private:
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
    std::string firstLine_;
};

} // namespace ztest
