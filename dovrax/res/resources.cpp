#include "resources.h"

#include "iconpixels.h"
#include "ids.h"

#include <QHash>
#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace res {

using dialogdata::ControlKind;
using dialogdata::ControlTemplate;
using dialogdata::DialogTemplate;

namespace {

constexpr unsigned Tab = dialogdata::TabStop;

// Dialog 101, the control form. Template order is creation order and tab order.
constexpr ControlTemplate kFormControls[] = {
    {1007, ControlKind::PushButton, "7", {16, 19, 17, 17}, Tab},
    {1006, ControlKind::PushButton, "6", {38, 19, 17, 17}, Tab},
    {1005, ControlKind::PushButton, "5", {60, 19, 17, 17}, Tab},
    {1004, ControlKind::PushButton, "4", {82, 19, 17, 17}, Tab},
    {1003, ControlKind::PushButton, "3", {114, 19, 17, 17}, Tab},
    {1002, ControlKind::PushButton, "2", {136, 19, 17, 17}, Tab},
    {1001, ControlKind::PushButton, "1", {158, 19, 17, 17}, Tab},
    {1000, ControlKind::PushButton, "0", {180, 19, 17, 17}, Tab},
    {1016, ControlKind::GroupBox, "I/O  [ 7:0 ] Status", {7, 4, 200, 39}, 0},
    {1008, ControlKind::ListBox, nullptr, {13, 60, 188, 99}, Tab},
    {1017, ControlKind::GroupBox, "Message Box (double click to clean)", {7, 47, 200, 119}, 0},
    {1018, ControlKind::GroupBox, "Select Device", {212, 4, 73, 39}, 0},
    {1009,
     ControlKind::ComboBox,
     nullptr,
     {248, 19, 27, 17},
     Tab | dialogdata::Sorted | dialogdata::EditField},
    {-1,
     ControlKind::Label,
     "Index :",
     {218, 18, 26, 12},
     dialogdata::AlignRight | dialogdata::VCenter},
    {1019, ControlKind::GroupBox, "Input Data ( Hex )", {212, 47, 74, 56}, 0},
    {1010, ControlKind::PushButton, "Input", {220, 77, 58, 19}, Tab},
    {1011, ControlKind::PushButton, "Output", {220, 138, 58, 19}, Tab},
    {1012,
     ControlKind::Label,
     "",
     {221, 62, 56, 13},
     dialogdata::AlignCenter | dialogdata::VCenter | dialogdata::SunkenEdge},
    {1020, ControlKind::GroupBox, "Output Data ( Hex )", {212, 105, 74, 61}, 0},
    {1013,
     ControlKind::ComboBox,
     nullptr,
     {221, 121, 56, 66},
     Tab | dialogdata::Sorted | dialogdata::EditField},
    {1021, ControlKind::PushButton, "Notepad", {15, 176, 58, 19}, Tab | dialogdata::Disabled},
    {1022, ControlKind::PushButton, "RIP Print", {83, 176, 58, 19}, Tab},
    {1023, ControlKind::PushButton, "Move", {148, 176, 58, 19}, Tab},
    {1024, ControlKind::PushButton, "Start", {215, 176, 58, 19}, Tab | dialogdata::Disabled},
    {1025, ControlKind::PushButton, "Print_System", {83, 200, 58, 19}, Tab},
};
const DialogTemplate kForm{IDD_DOVRAX_FORM, {293, 228}, nullptr, kFormControls};

// Dialog 100, the About box.
constexpr ControlTemplate kAboutControls[] = {
    {-1, ControlKind::Icon, nullptr, {14, 14, 21, 20}, 0},
    {-1, ControlKind::Label, "DOVRAX, Version 1.0", {42, 14, 114, 8}, 0},
    {-1, ControlKind::Label, "DOV-RAX adapter bench tool", {42, 26, 114, 8}, 0},
    {IDOK, ControlKind::DefPushButton, "OK", {113, 41, 50, 14}, Tab},
};
const DialogTemplate kAbout{IDD_ABOUTBOX, {170, 62}, "About DOVRAX", kAboutControls};

constexpr const char *kDeviceItems[] = {"0", "1", "2"};
constexpr const char *kOutputItems[] = {"0x55", "0xAA", "0x00", "0xFF"};

constexpr MenuEntry kFileEntries[] = {{"E&xit", ID_APP_EXIT}};
constexpr MenuEntry kEditEntries[] = {
    {"&Undo\tCtrl+Z", ID_EDIT_UNDO},   {nullptr, 0},
    {"Cu&t\tCtrl+X", ID_EDIT_CUT},     {"&Copy\tCtrl+C", ID_EDIT_COPY},
    {"&Paste\tCtrl+V", ID_EDIT_PASTE},
};
constexpr MenuEntry kHelpEntries[] = {{"&About DOVRAX...", ID_APP_ABOUT}};
constexpr MenuColumn kMenu[] = {
    {"&File", 0, kFileEntries},
    {"&Edit", 0, kEditEntries},
    {"&Option", 0, {}},
    {"&Help", 0, kHelpEntries},
};

const Accelerator kAccelerators[] = {
    {Qt::CTRL | Qt::Key_N, ID_FILE_NEW},         {Qt::CTRL | Qt::Key_O, ID_FILE_OPEN},
    {Qt::CTRL | Qt::Key_S, ID_FILE_SAVE},        {Qt::CTRL | Qt::Key_Z, ID_EDIT_UNDO},
    {Qt::CTRL | Qt::Key_X, ID_EDIT_CUT},         {Qt::CTRL | Qt::Key_C, ID_EDIT_COPY},
    {Qt::CTRL | Qt::Key_V, ID_EDIT_PASTE},       {Qt::ALT | Qt::Key_Backspace, ID_EDIT_UNDO},
    {Qt::SHIFT | Qt::Key_Delete, ID_EDIT_CUT},   {Qt::CTRL | Qt::Key_Insert, ID_EDIT_COPY},
    {Qt::SHIFT | Qt::Key_Insert, ID_EDIT_PASTE}, {QKeyCombination(Qt::Key_F6), ID_NEXT_PANE},
    {Qt::SHIFT | Qt::Key_F6, ID_PREV_PANE},
};

const QHash<int, QString> &stringTable()
{
    static const QHash<int, QString> table = [] {
        QHash<int, QString> t;
        t.insert(IDR_MAINFRAME, QStringLiteral("DOVRAX ( For Test)\n\nDOVRAX\n\n\nDOVRAX.Document\n"
                                               "DOVRAX.Document"));
        t.insert(100, QStringLiteral("OLE initialization failed.  Make sure that the OLE "
                                     "libraries are the correct version."));
        t.insert(57344, QStringLiteral("DOVRAX"));
        t.insert(AFX_IDS_IDLEMESSAGE, QStringLiteral("Ready"));
        t.insert(59136, QStringLiteral("EXT"));
        t.insert(ID_INDICATOR_CAPS, QStringLiteral("CAP"));
        t.insert(ID_INDICATOR_NUM, QStringLiteral("NUM"));
        t.insert(ID_INDICATOR_SCRL, QStringLiteral("SCRL"));
        t.insert(59140, QStringLiteral("OVR"));
        t.insert(59141, QStringLiteral("REC"));
        // Prompts of the commands the menu and keys issue.
        t.insert(ID_FILE_NEW, QStringLiteral("Create a new document\nNew"));
        t.insert(ID_FILE_OPEN, QStringLiteral("Open an existing document\nOpen"));
        t.insert(ID_FILE_SAVE, QStringLiteral("Save the active document\nSave"));
        t.insert(ID_EDIT_UNDO, QStringLiteral("Undo the last action\nUndo"));
        t.insert(ID_EDIT_CUT, QStringLiteral("Cut the selection and put it on the Clipboard\nCut"));
        t.insert(ID_EDIT_COPY,
                 QStringLiteral("Copy the selection and put it on the Clipboard\nCopy"));
        t.insert(ID_EDIT_PASTE, QStringLiteral("Insert Clipboard contents\nPaste"));
        t.insert(ID_NEXT_PANE, QStringLiteral("Switch to the next window pane\nNext Pane"));
        t.insert(ID_PREV_PANE,
                 QStringLiteral("Switch back to the previous window pane\nPrevious Pane"));
        t.insert(ID_APP_ABOUT, QStringLiteral("Display program information, version number and "
                                              "copyright\nAbout"));
        t.insert(ID_APP_EXIT,
                 QStringLiteral("Quit the application; prompts to save documents\nExit"));
        // Standard prompts of commands nothing in this program issues.
        t.insert(57602, QStringLiteral("Close the active document\nClose"));
        t.insert(57604, QStringLiteral("Save the active document with a new name\nSave As"));
        for (int id = 57616; id <= 57631; ++id)
            t.insert(id, QStringLiteral("Open this document"));
        t.insert(57632, QStringLiteral("Erase the selection\nErase"));
        t.insert(57633, QStringLiteral("Erase everything\nErase All"));
        t.insert(57636, QStringLiteral("Find the specified text\nFind"));
        t.insert(57640, QStringLiteral("Repeat the last action\nRepeat"));
        t.insert(57641, QStringLiteral("Replace specific text with different text\nReplace"));
        t.insert(57642, QStringLiteral("Select the entire document\nSelect All"));
        t.insert(57644, QStringLiteral("Redo the previously undone action\nRedo"));
        t.insert(57653, QStringLiteral("Split the active window into panes\nSplit"));
        t.insert(AFX_IDW_TOOLBAR, QStringLiteral("Show or hide the toolbar\nToggle ToolBar"));
        t.insert(AFX_IDW_STATUS_BAR,
                 QStringLiteral("Show or hide the status bar\nToggle Status Bar"));
        // Prompts of the window's system menu.
        t.insert(61184, QStringLiteral("Change the window size"));
        t.insert(61185, QStringLiteral("Change the window position"));
        t.insert(61186, QStringLiteral("Reduce the window to an icon"));
        t.insert(61187, QStringLiteral("Enlarge the window to full size"));
        t.insert(61188, QStringLiteral("Switch to the next document window"));
        t.insert(61189, QStringLiteral("Switch to the previous document window"));
        t.insert(61190,
                 QStringLiteral("Close the active window and prompts to save the documents"));
        t.insert(61202, QStringLiteral("Restore the window to normal size"));
        t.insert(61203, QStringLiteral("Activate Task List"));
        return t;
    }();
    return table;
}

} // namespace

const DialogTemplate &formTemplate()
{
    return kForm;
}

const DialogTemplate &aboutBoxTemplate()
{
    return kAbout;
}

std::span<const char *const> deviceComboItems()
{
    return kDeviceItems;
}

std::span<const char *const> outputComboItems()
{
    return kOutputItems;
}

std::span<const MenuColumn> mainMenu()
{
    return kMenu;
}

std::span<const Accelerator> accelerators()
{
    return kAccelerators;
}

QIcon appIcon()
{
    // Built once, the first time a window needs it, and kept to the end (never destroyed after
    // the application that its pixmaps belong to): the application, the frame and the About box
    // share it.
    static const QIcon *icon = [] {
        auto *sizes = new QIcon;
        for (size_t i = 0; i < kIconPixelsCount; ++i) {
            const IconPixels &entry = kIconPixels[i];
            const QImage image(reinterpret_cast<const uchar *>(entry.pixels), entry.width,
                               entry.height, QImage::Format_ARGB32);
            // Kept in the window system's form: a box's icon is then sent without converting.
            sizes->addPixmap(QPixmap::fromImage(image, Qt::NoFormatConversion));
        }
        return sizes;
    }();
    return *icon;
}

std::span<const uint32_t> appIconProperty()
{
    return {kIconProperty, kIconPropertyLength};
}

QString loadString(int id)
{
    return stringTable().value(id);
}

QString commandPrompt(int command)
{
    const QString text = loadString(command);
    return text.section(QLatin1Char('\n'), 0, 0);
}

} // namespace res
