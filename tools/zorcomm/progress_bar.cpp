#include "progress_bar.h"

#include "signals.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace zcli {

namespace {

constexpr int kBarWidth = 30;
constexpr int kTextWidth = 36;

ProgressBar *current = nullptr;

bool EndsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

ProgressBar::ProgressBar() : terminal_(isatty(STDERR_FILENO) == 1) { current = this; }

ProgressBar::~ProgressBar() {
    EndLine();
    if (current == this) current = nullptr;
}

uint8_t ZORCOMM_CALL ProgressBar::Report(int32_t kind, const char *text, float percent,
                                         uint32_t) {
    if (current) current->Take(kind, text ? text : "", percent);
    return StopRequested() ? 0 : 1;
}

void ProgressBar::Take(int32_t kind, const std::string &text, float percent) {
    if (kind == PROGRESS_ERROR) {
        EndLine();
        errors_.push_back(text);
        return;
    }
    if (EndsWith(text, " OK.")) {
        sectionsDone_.push_back(text);
        Draw(text, 100.0f);
        EndLine();
        return;
    }
    // The block transfers' own texts and the section texts carry their percentage; the
    // download's closing texts do not.
    if (text.find('%') == std::string::npos && text != "Done" && !EndsWith(text, " words")) {
        EndLine();
        closing_.push_back(text);
        return;
    }
    Draw(text, percent);
}

void ProgressBar::Draw(const std::string &text, float percent) {
    if (!terminal_) return;
    const float clamped = std::clamp(percent, 0.0f, 100.0f);
    const int filled = static_cast<int>(clamped * kBarWidth / 100.0f);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    std::fprintf(stderr, "\r%-*.*s [%s] %3d%%", kTextWidth, kTextWidth, text.c_str(), bar.c_str(),
                 static_cast<int>(clamped));
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::Clear() {
    if (!drawn_) return;
    // Text, blank, bar and percentage: overwrite them all, then go back to the line's start.
    std::fprintf(stderr, "\r%*s\r", kTextWidth + kBarWidth + 8, "");
    std::fflush(stderr);
    drawn_ = false;
}

void ProgressBar::EndLine() {
    if (!drawn_) return;
    std::fputc('\n', stderr);
    drawn_ = false;
}

} // namespace zcli
