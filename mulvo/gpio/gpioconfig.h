// The GPIO adapter's configuration file: which chip and which lines make up adapter N.
//
//   [adapter 0]
//   chip = /dev/gpiochip0          ; a path, or the chip's label
//   outputs = 0 1 2 3 4 5 6 7      ; bit 0 first, offsets or line names
//   inputs = 8 9 10 11 12 13 14 15
//   interrupt = 16
//
// See mulvo-gpio.conf(5) for every key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mulvo::gpio {

// Environment variable that names the configuration file.
inline constexpr const char *kConfigEnv = "MULVO_GPIO_CONFIG";
// A larger file is refused rather than read.
inline constexpr size_t kMaxConfigBytes = size_t(1) << 20;
// The system-wide file, read when the user has none.
inline constexpr const char *kSystemConfig = "/etc/dovrax/gpio.conf";

enum class Bias
{
    AsIs,
    Disabled,
    PullUp,
    PullDown
};
enum class Edge
{
    Rising,
    Falling,
    Both
};

// One line of the chip, by offset or by the name the chip gives it.
struct LineRef
{
    std::string name; // empty when given by offset
    uint32_t offset = 0;

    bool operator==(const LineRef &) const = default;
};

struct LineGroup
{
    std::vector<LineRef> lines; // bit 0 first
    bool activeLow = false;
    Bias bias = Bias::AsIs;
};

struct AdapterConfig
{
    uint32_t device = 0;
    std::string chip; // a path (starts with '/') or a chip label
    LineGroup outputs;
    LineGroup inputs;
    std::optional<LineRef> interrupt;
    Edge edge = Edge::Rising;
    uint32_t debounceUs = 0;
    bool interruptActiveLow = false;
    Bias interruptBias = Bias::AsIs;
    std::optional<LineRef> acknowledge; // pulsed by mulvo_out2(h, 8, 0)
    bool acknowledgeActiveLow = false;
};

struct Config
{
    std::vector<AdapterConfig> adapters;

    // The section of adapter `device`, or null.
    const AdapterConfig *find(uint32_t device) const;
};

// Parses the text of a configuration file. On failure returns false and puts into `error` a
// message that starts with "<fileName>:<line>: ".
bool parseConfig(std::string_view text, const std::string &fileName, Config &config,
                 std::string &error);

// The file that is read: $MULVO_GPIO_CONFIG when set, else the user's
// $XDG_CONFIG_HOME/dovrax/gpio.conf (default ~/.config) when it exists, else /etc/dovrax/gpio.conf.
std::string configFilePath();

// Reads and parses configFilePath().
bool loadConfig(Config &config, std::string &error);

// Reads configFilePath() and finds the section of adapter `device` in `config`: null with a
// readable reason when the file is missing or wrong or has no such adapter.
const AdapterConfig *loadAdapter(uint32_t device, Config &config, std::string &error);

// The chip (path or label, as configured) that adapter `device` uses. False with a readable
// reason when the file is missing or wrong or has no such adapter.
bool chipOfAdapter(uint32_t device, std::string &chip, std::string &error);

} // namespace mulvo::gpio
