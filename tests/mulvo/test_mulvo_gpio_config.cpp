// The GPIO adapter's configuration file: what a section means, what is refused and why, and
// which file is read.
#include "gpioconfig.h"
#include "mulvotestsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace mulvo::gpio;

namespace {

const char *const kGood = "\xEF\xBB\xBF; comment\r\n"
                          "[adapter 0]\n"
                          "chip = gpio-bank\n"
                          "outputs = 0 1 2 3, 4,5 6 7\n"
                          "inputs = in0 in1 in2 in3 in4 in5 in6 17\n"
                          "  input-active-low = yes  \n"
                          "input-bias = pull-up\n"
                          "interrupt = irq\n"
                          "interrupt-edge = both\n"
                          "interrupt-debounce-us = 2500\n"
                          "acknowledge = 30\n"
                          "acknowledge-active-low = true\n"
                          "# the second adapter\n"
                          "[adapter 3]\n"
                          "chip=/dev/gpiochip4\n"
                          "outputs=8 9 10 11 12 13 14 15\n"
                          "inputs=0 1 2 3 4 5 6 7\n";

TEST(GpioConfig, SectionsGiveChipLinesAndOptions)
{
    Config config;
    std::string error;
    ASSERT_TRUE(parseConfig(kGood, "gpio.conf", config, error)) << error;
    ASSERT_EQ(config.adapters.size(), 2u);
    const AdapterConfig *a = config.find(0);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->chip, "gpio-bank");
    ASSERT_EQ(a->outputs.lines.size(), 8u);
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(a->outputs.lines[i], (LineRef{"", i}));
    EXPECT_EQ(a->inputs.lines[0], (LineRef{"in0", 0}));
    EXPECT_EQ(a->inputs.lines[7], (LineRef{"", 17}));
    EXPECT_FALSE(a->outputs.activeLow);
    EXPECT_TRUE(a->inputs.activeLow);
    EXPECT_EQ(a->outputs.bias, Bias::AsIs);
    EXPECT_EQ(a->inputs.bias, Bias::PullUp);
    ASSERT_TRUE(a->interrupt);
    EXPECT_EQ(a->interrupt->name, "irq");
    EXPECT_EQ(a->edge, Edge::Both);
    EXPECT_EQ(a->debounceUs, 2500u);
    ASSERT_TRUE(a->acknowledge);
    EXPECT_EQ(*a->acknowledge, (LineRef{"", 30}));
    EXPECT_TRUE(a->acknowledgeActiveLow);

    const AdapterConfig *b = config.find(3);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->chip, "/dev/gpiochip4");
    EXPECT_FALSE(b->interrupt);
    EXPECT_FALSE(b->acknowledge);
    EXPECT_EQ(b->edge, Edge::Rising);
    EXPECT_FALSE(config.find(1));
}

TEST(GpioConfig, WrongFilesAreRefusedWithTheLineAndTheReason)
{
    const std::string head = "[adapter 0]\nchip = c\n";
    const std::string lines = "outputs = 0 1 2 3 4 5 6 7\ninputs = 8 9 10 11 12 13 14 15\n";
    const struct
    {
        std::string text;
        std::string error;
    } cases[] = {
        {"", "f: no [adapter N] section"},
        {"chip = c\n", "f:1: key outside an [adapter N] section"},
        {"[adapter]\n", "f:1: expected a section [adapter N]"},
        {"[adapter x]\n", "f:1: expected a section [adapter N]"},
        {"[adapter 0\n", "f:1: a section header ends with ']'"},
        {head + "outputs = 0 1 2 3 4 5 6\n", "f:3: expected 8 lines, bit 0 first, got 7"},
        {head + "outputs = 0 1 2 3 4 5 6 7 8\n", "f:3: expected 8 lines, bit 0 first, got 9"},
        {head + lines + "interrupt = 16 17\n", "f:5: expected one line"},
        {head + lines + "interrupt = 70000\n", "f:5: line offset '70000' is too large"},
        {head + lines + "interrupt-edge = up\n", "f:5: expected rising, falling or both"},
        {head + lines + "input-bias = strong\n", "f:5: expected as-is, disabled, pull-up"},
        {head + lines + "output-active-low = maybe\n", "f:5: expected yes or no"},
        {head + lines + "interrupt-debounce-us = 2000000\n", "f:5: expected a debounce period"},
        {head + lines + "colour = red\n", "f:5: unknown key 'colour'"},
        {head + lines + "chip = d\n", "f:5: key 'chip' given twice"},
        {head + lines + "flag\n", "f:5: expected key = value"},
        {head + "outputs = 0 1 2 3 4 5 6 7\n", "f: [adapter 0] has no inputs"},
        {"[adapter 0]\n" + lines, "f: [adapter 0] has no chip"},
        {head + lines + "[adapter 0]\n", "f:5: [adapter 0] appears twice"},
        {head + lines + "acknowledge = 7\n", "f: [adapter 0] uses line 7 twice"},
        {head + lines + "interrupt = 12\n", "f: [adapter 0] uses line 12 twice"},
        {head + lines + "interrupt = 16\nacknowledge = 9\n", "f: [adapter 0] uses line 9 twice"},
        {head + "outputs = a b c d e f g h\ninputs = 0 1 2 3 4 5 6 h\n",
         "f: [adapter 0] uses line 'h' twice"},
        {head + "[adapter 1]\n", "f:3: [adapter 0] has no outputs"},
        // A damaged line is quoted short, its control characters shown.
        {head + lines + std::string(5000, 'x') + "\x01 = 1\n",
         "f:5: unknown key '" + std::string(80, 'x') + "'..."},
        {head + lines + "k\x1b[2J = 1\n", "f:5: unknown key 'k\\x1b[2J'"},
    };
    for (const auto &c : cases) {
        Config config;
        std::string error;
        EXPECT_FALSE(parseConfig(c.text, "f", config, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << "\ngave: " << error;
    }
}

TEST(GpioConfig, TheVariableThenTheUsersFileThenTheSystemFile)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string named = dir + "/named.conf";
    const std::string user = dir + "/dovrax/gpio.conf";
    std::ofstream(named) << "[adapter 2]\nchip = named-chip\n"
                            "outputs = 0 1 2 3 4 5 6 7\ninputs = 8 9 10 11 12 13 14 15\n";
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    setenv(kConfigEnv, named.c_str(), 1);

    std::string chip;
    std::string error;
    EXPECT_EQ(configFilePath(), named);
    EXPECT_TRUE(chipOfAdapter(2, chip, error)) << error;
    EXPECT_EQ(chip, "named-chip");
    EXPECT_FALSE(chipOfAdapter(0, chip, error));
    EXPECT_EQ(error, named + ": no [adapter 0] section");

    unsetenv(kConfigEnv);
    EXPECT_EQ(configFilePath(), kSystemConfig) << "no user file yet";
    mkdir((dir + "/dovrax").c_str(), 0700);
    rename(named.c_str(), user.c_str());
    EXPECT_EQ(configFilePath(), user);
    EXPECT_TRUE(chipOfAdapter(2, chip, error)) << error;

    setenv(kConfigEnv, (dir + "/absent.conf").c_str(), 1);
    EXPECT_FALSE(chipOfAdapter(2, chip, error));
    EXPECT_EQ(error, "cannot read the GPIO configuration " + dir +
                         "/absent.conf: No such file or directory");

    // Named files that are not a configuration are refused at once, none waited on or read
    // beyond the limit.
    const std::string fifo = dir + "/fifo";
    const std::string big = dir + "/big";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big) << "[adapter 2]\n" << std::string(kMaxConfigBytes, ';');
    const std::pair<std::string, std::string> refused[] = {
        {fifo, "it is not a regular file"},
        {"/dev/zero", "it is not a regular file"},
        {dir, "it is a directory"},
        {big, "it is larger than 1048576 bytes"}};
    for (const auto &[file, why] : refused) {
        setenv(kConfigEnv, file.c_str(), 1);
        EXPECT_FALSE(chipOfAdapter(2, chip, error));
        EXPECT_EQ(error, "cannot read the GPIO configuration " + file + ": " + why);
    }
    unsetenv(kConfigEnv);
    unlink(fifo.c_str());
    unlink(big.c_str());
    unlink(user.c_str());
    rmdir((dir + "/dovrax").c_str());
    rmdir(dir.c_str());
}

} // namespace
