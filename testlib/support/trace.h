// Tracing of methods through the shared message handler.
//
// At the top of a traced method:
//
//   NVT_TRACE("nvimagecache", "CNvImageCache::ReadKey", "aKeyId=%d", aKeyId,
//             "&aTarget=0x%08p", &aTarget);
//
// places a CDebugSentry (entry and exit lines, debug category 0) and one
// parameter line (category 1) per format/value pair. A category that is
// switched off costs only the handler lookup and a bit test.
#ifndef NVT_SUPPORT_TRACE_H
#define NVT_SUPPORT_TRACE_H

#include "support/msghandler.h"

#define NVT_TRACE(source, method, ...)                                                  \
    CDebugSentry nvtTraceSentry_(source, method, TheMsgHnd::Instance().GetHandler(method), \
                                 __LINE__);                                             \
    TraceParameters(nvtTraceSentry_, ##__VA_ARGS__)

// A further line of the traced method at a debug category (2: internal
// detail, 3: environment detail), printf-style. Nothing is formatted when
// the category is off.
#define NVT_TRACE_LINE(category, ...)                                                             \
    DebugPrint(nvtTraceSentry_.Handler(), nvtTraceSentry_.SourceFile(), __LINE__, category, false, \
               false, __VA_ARGS__)

#endif
