#include "core/region_refusal.h"

#include <cstdio>

#include "core/debug_log.h"
#include "core/errors.h"
#include "core/process_context.h"

namespace zorcomm {
namespace {

using platform::RegionProblem;

std::string Octal(uint32_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

std::string WhatIsWrong(const platform::RegionRefusal &refusal) {
    switch (refusal.problem) {
    case RegionProblem::ForeignOwner:
        return "owned by user " + std::to_string(refusal.owner) + ", not by this process's user " +
               std::to_string(refusal.user);
    case RegionProblem::OpenToOthers:
        return "mode " + Octal(refusal.mode) + " lets other users in (it must be 0600)";
    case RegionProblem::WrongSize:
        return std::to_string(refusal.size) + " bytes, where this library needs " +
               std::to_string(refusal.expectedSize);
    case RegionProblem::Unusable: {
        std::string reason;
        if (refusal.systemError == 0) return "laid out by another version of the library";
        if (!platform::SystemErrorText(refusal.systemError, reason)) reason = "system error";
        return reason + " (" + std::to_string(refusal.systemError) + ")";
    }
    case RegionProblem::None:
        break;
    }
    return {};
}

} // namespace

uint32_t RegionRefusalCode(RegionProblem problem) {
    switch (problem) {
    case RegionProblem::ForeignOwner: return static_cast<uint32_t>(Error::RegionOwnedByOtherUser);
    case RegionProblem::OpenToOthers: return static_cast<uint32_t>(Error::RegionOpenToOtherUsers);
    case RegionProblem::WrongSize: return static_cast<uint32_t>(Error::RegionWrongSize);
    case RegionProblem::Unusable: return static_cast<uint32_t>(Error::RegionUnusable);
    case RegionProblem::None: break;
    }
    return 0;
}

std::string DescribeRegionRefusal(const platform::RegionRefusal &refusal) {
    const uint32_t code = RegionRefusalCode(refusal.problem);
    if (code == 0) return {};
    return std::string(LibraryErrorText(code)) + "Shared memory object " + refusal.name + ": " +
           WhatIsWrong(refusal) + ". Remove it, or set ZORCOMM_SHM to a name of this user's own.\r\n";
}

bool RegionRefusalText(uint32_t code, std::string &text) {
    if (code < static_cast<uint32_t>(Error::RegionOwnedByOtherUser) ||
        code > static_cast<uint32_t>(Error::RegionUnusable))
        return false;
    const platform::RegionRefusal refusal = platform::LastRegionRefusal();
    if (RegionRefusalCode(refusal.problem) != code) return false;
    text = DescribeRegionRefusal(refusal);
    return true;
}

bool ReportRegionRefusal() {
    const platform::RegionRefusal refusal = platform::LastRegionRefusal();
    const uint32_t code = RegionRefusalCode(refusal.problem);
    if (code == 0) return false;
    // Said once, when the log is first on: every refused call then logs only its code's text.
    if (LogEnabled(kLogErrors) && !Context().regionRefusalLogged.exchange(true))
        Log(kLogErrors, "MSK Error", DescribeRegionRefusal(refusal).c_str());
    return SetError(code);
}

} // namespace zorcomm
