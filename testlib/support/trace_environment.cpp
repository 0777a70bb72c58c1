// Reads NVT_TRACE once, when the library is loaded. A file of its own, so
// that a program that links only some support code (the station's key
// database reader) does not open the library's trace file as well.
#include "support/msghandler.h"

#include <cstdlib>

namespace {

const bool gTraceFromEnvironment = nvttrace::Configure(std::getenv("NVT_TRACE"));

}  // namespace
