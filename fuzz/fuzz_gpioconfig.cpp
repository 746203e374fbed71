// libFuzzer target: the GPIO adapter's configuration file, arbitrary bytes.
#include "gpioconfig.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace mulvo::gpio;
    Config config;
    std::string error;
    const bool ok = parseConfig(std::string_view(reinterpret_cast<const char *>(data), size), "f",
                                config, error);
    // Either a usable configuration or a reason that names the file.
    if (ok != error.empty())
        std::abort();
    if (!ok && error.rfind("f:", 0) != 0)
        std::abort();
    for (const AdapterConfig &a : config.adapters) {
        if (ok && (a.chip.empty() || a.outputs.lines.size() != 8 || a.inputs.lines.size() != 8))
            std::abort();
    }
    return 0;
}
