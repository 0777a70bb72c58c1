// The emulated production-test firmware. Until an image is recognised the
// processor runs nothing that answers the host.
#include "devsim.h"

namespace devsim {

std::unique_ptr<Firmware> StartFirmware(Chip&)
{
    return nullptr;
}

}  // namespace devsim
