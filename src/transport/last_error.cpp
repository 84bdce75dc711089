#include "transport/last_error.h"

#include <string>

#include "core/errors.h"
#include "transport/link.h"

namespace zorcomm {
namespace {

bool SelectedLinkText(uint32_t code, std::string &text) {
    const Link *link = CurrentLink();
    return link && link->OwnErrorText(code, text);
}

} // namespace

const char *LastErrorText() { return DescribeLastError(SelectedLinkText); }

} // namespace zorcomm
