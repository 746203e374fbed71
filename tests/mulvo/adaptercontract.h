// The contract every adapter library we ship keeps (mulvolib.h), as one suite run against each
// library through its nine functions. Each library brings a rig that drives what the adapter's
// lines see from outside: the segment for the virtual adapter, the fake kernel layer or the
// kernel's gpio-sim for the GPIO adapter.
#pragma once

#include "mulvoloader.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace mulvotest {

class AdapterRig
{
public:
    virtual ~AdapterRig() = default;
    // The library's nine functions, loaded for this test.
    virtual const mulvo::Api &api() = 0;
    // What the 8 output lines show.
    virtual uint8_t output() = 0;
    // Puts `value` on the 8 input lines.
    virtual void setInput(uint8_t value) = 0;
    // Raises `count` interrupts one after another; may run on any thread.
    virtual void raise(int count) = 0;
    // After every handle is closed: checks that the adapter holds nothing any more.
    virtual void expectReleased() = 0;
};

struct RigMaker
{
    std::string name;
    std::function<std::unique_ptr<AdapterRig>()> make;
};

inline std::ostream &operator<<(std::ostream &out, const RigMaker &maker)
{
    return out << maker.name;
}

class AdapterContract : public ::testing::TestWithParam<RigMaker>
{
protected:
    void SetUp() override;
    void TearDown() override;

    uint32_t openAdapter();
    // Opens the adapter with `record` as its extension and arms `callback` on it.
    template <class Record> uint32_t openArmed(Record &record, mulvo_callback callback)
    {
        const uint32_t h = openAdapter();
        api->set_extension(h, &record);
        EXPECT_EQ(api->connect(h, callback), MULVO_OK);
        return h;
    }
    std::unique_ptr<AdapterRig> rig;
    const mulvo::Api *api = nullptr;
    std::vector<uint32_t> opened;
};

// Loads the library at `path` for a rig; fails the test when it cannot.
std::unique_ptr<mulvo::Library> loadAdapterLibrary(const std::string &path);

} // namespace mulvotest

#define MULVO_CONTRACT_RIGS(...)                                                                   \
    INSTANTIATE_TEST_SUITE_P(, AdapterContract, ::testing::Values(__VA_ARGS__),                    \
                             [](const auto &info) { return info.param.name; })
