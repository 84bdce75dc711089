// A progress bar on standard error, fed by the library's progress callback or by the program.
// It draws only when standard error is a terminal; otherwise it stays silent. After Ctrl-C
// (StopRequested) the callback asks the library to stop the transfer.
#pragma once

#include <zorcomm/zorcomm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zcli {

class ProgressBar {
public:
    ProgressBar();
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    // The callback to hand to the library while this bar is alive (one bar at a time).
    static ProgressCallback Callback() { return &Report; }

    // Draws `text` and the bar at `percent` (0 to 100), for the program's own long work.
    void Show(const std::string &text, float percent) { Draw(text, percent); }
    // Takes the bar off the terminal's line, so that a result line can be printed there.
    void Clear();

    // Texts of kind 1 (errors) and of the closing reports the library made, in order.
    const std::vector<std::string> &errors() const { return errors_; }
    const std::vector<std::string> &closing() const { return closing_; }
    // Texts of sections done ("Section[1/3] .text OK.").
    const std::vector<std::string> &sectionsDone() const { return sectionsDone_; }

private:
    static uint8_t ZORCOMM_CALL Report(int32_t kind, const char *text, float percent,
                                       uint32_t userValue);
    void Take(int32_t kind, const std::string &text, float percent);
    void Draw(const std::string &text, float percent);
    void EndLine();

    bool terminal_;
    bool drawn_ = false;
    std::vector<std::string> errors_;
    std::vector<std::string> closing_;
    std::vector<std::string> sectionsDone_;
};

} // namespace zcli
