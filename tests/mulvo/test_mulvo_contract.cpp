// The adapter contract against the virtual adapter (driven through its segment) and against the
// GPIO adapter built on the fake kernel layer.
#include "adaptercontract.h"
#include "fakegpiolibrary.h"
#include "mulvotestsupport.h"
#include "simsegment.h"

namespace mulvotest {

namespace {

class VirtualRig final : public AdapterRig
{
public:
    VirtualRig()
    {
        std::string error;
        segment_ = mulvo::sim::SimSegment::open(instance(), error);
        EXPECT_TRUE(segment_) << error;
        if (segment_)
            segment_->reset();
        library_ = loadAdapterLibrary(MULVO_LIB_PATH);
    }
    const mulvo::Api &api() override { return library_->api(); }
    uint8_t output() override { return segment_->output(); }
    void setInput(uint8_t value) override { segment_->setInput(value); }
    void raise(int count) override
    {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(segment_->raise(1));
    }
    void expectReleased() override
    {
        const auto status = segment_->status();
        EXPECT_EQ(status.armed, 0u);
        EXPECT_EQ(status.handles, 0u);
    }

private:
    std::unique_ptr<mulvo::sim::SimSegment> segment_;
    std::unique_ptr<mulvo::Library> library_;
};

class FakeGpioAdapterRig final : public AdapterRig
{
public:
    const mulvo::Api &api() override { return fake_.api(); }
    uint8_t output() override
    {
        uint8_t value = 0;
        for (uint32_t i = 0; i < 8; ++i)
            value |= uint8_t(fake_.rig().level(i) << i);
        return value;
    }
    void setInput(uint8_t value) override
    {
        for (uint32_t i = 0; i < 8; ++i)
            fake_.rig().setLevel(8 + i, (value >> i) & 1);
    }
    void raise(int count) override
    {
        for (int i = 0; i < count; ++i) {
            fake_.rig().setLevel(16, true);
            fake_.rig().setLevel(16, false);
        }
    }
    void expectReleased() override
    {
        // A handle closed inside its callback lets go of the lines once the callback returns.
        EXPECT_TRUE(waitFor([&] { return fake_.rig().openDescriptors() == 0; }));
        EXPECT_EQ(fake_.rig().requestedLines(), 0u);
    }

private:
    FakeGpioLibrary fake_{kFakeConfig};
};

// The service's client library, with the virtual adapter behind a mulvod of the test's own.
class ServiceRig final : public AdapterRig
{
public:
    ServiceRig()
    {
        std::string error;
        segment_ = mulvo::sim::SimSegment::open(instance(), error);
        EXPECT_TRUE(segment_) << error;
        if (segment_)
            segment_->reset();
        EXPECT_TRUE(service_.start()) << service_.log();
        setenv("MULVO_SERVICE_SOCKET", service_.socket().c_str(), 1);
        library_ = loadAdapterLibrary(MULVO_SERVICE_LIB_PATH);
    }
    ~ServiceRig() override { unsetenv("MULVO_SERVICE_SOCKET"); }
    const mulvo::Api &api() override { return library_->api(); }
    uint8_t output() override { return segment_->output(); }
    void setInput(uint8_t value) override { segment_->setInput(value); }
    void raise(int count) override
    {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(segment_->raise(1));
    }
    void expectReleased() override
    {
        // The service keeps its adapter open, and armed only while a client is.
        EXPECT_TRUE(waitFor([&] { return segment_->status().armed == 0; }));
        EXPECT_EQ(segment_->status().handles, 1u);
    }

private:
    std::unique_ptr<mulvo::sim::SimSegment> segment_;
    ServiceProcess service_;
    std::unique_ptr<mulvo::Library> library_;
};

MULVO_CONTRACT_RIGS(RigMaker{"Virtual", [] { return std::make_unique<VirtualRig>(); }},
                    RigMaker{"ServiceOnVirtual", [] { return std::make_unique<ServiceRig>(); }},
                    RigMaker{"GpioOnFakeKernel",
                             [] { return std::make_unique<FakeGpioAdapterRig>(); }});

} // namespace

} // namespace mulvotest
