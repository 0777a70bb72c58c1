// The part of the transport library every layer that talks to a device
// shares: the text of its last failure, for the messages of the calls that
// failed.
#ifndef NVT_CORE_TRANSPORT_H
#define NVT_CORE_TRANSPORT_H

#include <string>

// Last error text of the transport library; empty when it has none.
std::string TransportErrorText();

#endif
