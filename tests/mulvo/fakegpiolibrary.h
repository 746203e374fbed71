// The GPIO adapter library built on the fake kernel layer, loaded for one test with a
// configuration file of the test's own ($MULVO_GPIO_CONFIG).
#pragma once

#include "fakegpiokernel.h"
#include "mulvoloader.h"

#include <memory>
#include <string>

namespace mulvotest {

// Lines 0-7 outputs, 8-15 inputs (by name), 16 the interrupt (rising edges), 17 acknowledge.
extern const char *const kFakeConfig;

class FakeGpioLibrary
{
public:
    explicit FakeGpioLibrary(const std::string &config);
    ~FakeGpioLibrary();
    FakeGpioLibrary(const FakeGpioLibrary &) = delete;
    FakeGpioLibrary &operator=(const FakeGpioLibrary &) = delete;

    const mulvo::Api &api() const { return library_->api(); }
    FakeGpioRig &rig() const { return *rig_; }

private:
    std::string configPath_;
    std::unique_ptr<mulvo::Library> library_;
    FakeGpioRig *rig_ = nullptr;
};

} // namespace mulvotest
