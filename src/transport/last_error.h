// The text MSK_GetLastError returns for the current last error.
#pragma once

namespace zorcomm {

// The library's or the system's text of the current last error, else the selected link's own
// (a virtual serial driver's message texts), else "Error code 0x...".
const char *LastErrorText();

} // namespace zorcomm
