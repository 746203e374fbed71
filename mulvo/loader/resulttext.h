// The words for the access library's result codes, the same in the window, the tools and the
// service.
#pragma once

#include "mulvolib.h"

#include <cstdint>
#include <string>

namespace mulvo {

inline std::string resultText(int32_t result)
{
    switch (result) {
    case MULVO_E_ABSENT:
        return "adapter not present";
    case MULVO_E_HANDLE:
        return "no adapter handle";
    case MULVO_E_ARG:
        return "bad argument";
    case MULVO_E_SYSTEM:
        return "adapter not reachable";
    default:
        return "error " + std::to_string(result);
    }
}

} // namespace mulvo
