// The tool's icon, drawn at run time so that no binary image has to be
// kept in the sources: a chip with pins on a kiln-orange tile.
#ifndef KILNOR_WIN32_ICON_H
#define KILNOR_WIN32_ICON_H

#include <windows.h>

namespace kilnor::win32 {

// A new icon of aSize x aSize pixels; the caller destroys it.
HICON createKilnorIcon(int aSize);

} // namespace kilnor::win32

#endif
