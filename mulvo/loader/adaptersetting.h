// The program's setting that chooses the adapter library.
#pragma once

#include <optional>
#include <string>

namespace mulvo {

// The setting Adapter/Library of DOVRAX's settings store, read as DOVRAX reads it (Qt's settings
// with their fall-backs); nothing when it is not set.
std::optional<std::string> readAdapterSetting();

} // namespace mulvo
