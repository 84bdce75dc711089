#include "signals.h"

#include <signal.h>

#include <csignal>
#include <cstdio>
#include <initializer_list>

namespace zcli {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
bool outputClosed = false;

extern "C" void OnStopSignal(int signalNumber) {
    stopRequested = 1;
    // The next one of the same kind takes its default course.
    signal(signalNumber, SIG_DFL);
}

} // namespace

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait the signal interrupts may end early, which is what a stop wants.
    action.sa_flags = 0;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return stopRequested != 0 || outputClosed; }

void NoteIfOutputClosed() {
    if (outputClosed || !std::ferror(stdout)) return;
    outputClosed = true;
    std::fputs("zorcomm: standard output was closed; stopping\n", stderr);
}

} // namespace zcli
