// The form on the virtual adapter library, with the adapter unplugged under it.
#include "formfixture.h"

#include "mulvoloader.h"
#include "mulvotestsupport.h"
#include "res/ids.h"
#include "simsegment.h"

#include <QLabel>

namespace {

class VirtualAdapter : public FormFixture
{
};

TEST_F(VirtualAdapter, FailedTransfersSayWhyAndKeepWhatTheFormShowed)
{
    std::string error;
    const auto segment = mulvo::sim::SimSegment::open(mulvotest::instance(), error);
    ASSERT_TRUE(segment) << error;
    segment->reset();
    segment->setInput(0x3C);
    auto library = mulvo::Library::loadFile(MULVO_LIBRARY_PATH, error);
    ASSERT_TRUE(library) << error;
    makeForm(std::make_unique<AdapterLink>(std::move(library), QString()));
    EXPECT_EQ(link->libraryFile(), MULVO_LIBRARY_PATH);
    form->OnInputButton();
    form->OnMessageListDoubleClick();

    segment->setPresent(false);
    form->OnInputButton();
    form->OnOutputButton();
    const QString separator(70, QLatin1Char('-'));
    EXPECT_EQ(logLines(),
              QStringList({"Input Data : failed (adapter not present)", separator,
                           "Output Data : [ 0x55 ] failed (adapter not present)", separator}));
    EXPECT_EQ(control<QLabel>(res::IDC_INPUT_DISPLAY)->text(), "0x3c");
    EXPECT_FALSE(control(res::IDC_BIT0 + 2)->isEnabled()) << "bit 2 of 0x3c stays lit";
    EXPECT_TRUE(control(res::IDC_BIT0 + 0)->isEnabled());
    EXPECT_EQ(segment->status().output, 0);

    segment->setPresent(true);
    form.reset();
    std::uint8_t value = 0;
    EXPECT_EQ(AdapterLink::failureReason(link->read(value)), "no adapter handle");
}

} // namespace
