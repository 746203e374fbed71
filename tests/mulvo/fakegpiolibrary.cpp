#include "fakegpiolibrary.h"

#include "mulvotestsupport.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <unistd.h>

namespace mulvotest {

const char *const kFakeConfig = "[adapter 0]\n"
                                "chip = fake-bank\n"
                                "outputs = 0 1 2 3 4 5 6 7\n"
                                "inputs = line-8 line-9 line-10 line-11 line-12 line-13 line-14 "
                                "line-15\n"
                                "interrupt = 16\n"
                                "acknowledge = 17\n";

FakeGpioLibrary::FakeGpioLibrary(const std::string &config)
{
    configPath_ = makeTempDir() + "/gpio.conf";
    std::ofstream(configPath_) << config;
    setenv("MULVO_GPIO_CONFIG", configPath_.c_str(), 1);
    std::string error;
    library_ = mulvo::Library::loadFile(MULVO_GPIO_FAKE_LIB_PATH, error);
    EXPECT_TRUE(library_) << error;
    void *handle = dlopen(MULVO_GPIO_FAKE_LIB_PATH, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_TRUE(handle);
    if (handle) {
        auto rig = reinterpret_cast<FakeGpioRig *(*)()>(dlsym(handle, "mulvo_gpio_fake_rig"));
        rig_ = rig ? rig() : nullptr;
        dlclose(handle);
    }
    EXPECT_TRUE(rig_);
    if (rig_)
        rig_->reset();
}

FakeGpioLibrary::~FakeGpioLibrary()
{
    library_.reset();
    unsetenv("MULVO_GPIO_CONFIG");
    const std::string dir = configPath_.substr(0, configPath_.rfind('/'));
    unlink(configPath_.c_str());
    rmdir(dir.c_str());
}

} // namespace mulvotest
