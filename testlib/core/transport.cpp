#include "core/transport.h"

#include "quorlink.h"

std::string TransportErrorText()
{
    const char* text = nullptr;
    qlk_get_last_error(0, &text);
    return text != nullptr ? std::string(text) : std::string();
}
