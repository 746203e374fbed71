// Resource, control and command numbers of the program.
#pragma once

namespace res {

// Resources.
inline constexpr int IDR_MAINFRAME = 128; // menu, accelerators, icon, document strings
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_DOVRAX_FORM = 101;

// Controls of the form.
inline constexpr int IDC_BIT0 = 1000; // bit n is IDC_BIT0 + n, up to 1007
inline constexpr int IDC_BIT7 = 1007;
inline constexpr int IDC_MESSAGE_LIST = 1008;
inline constexpr int IDC_DEVICE_COMBO = 1009;
inline constexpr int IDC_INPUT_BUTTON = 1010;
inline constexpr int IDC_OUTPUT_BUTTON = 1011;
inline constexpr int IDC_INPUT_DISPLAY = 1012;
inline constexpr int IDC_OUTPUT_COMBO = 1013;
inline constexpr int IDC_IO_GROUP = 1016;
inline constexpr int IDC_MESSAGE_GROUP = 1017;
inline constexpr int IDC_DEVICE_GROUP = 1018;
inline constexpr int IDC_INPUT_GROUP = 1019;
inline constexpr int IDC_OUTPUT_GROUP = 1020;
inline constexpr int IDC_NOTEPAD_BUTTON = 1021;
inline constexpr int IDC_RIP_PRINT_BUTTON = 1022;
inline constexpr int IDC_MOVE_BUTTON = 1023;
inline constexpr int IDC_START_BUTTON = 1024;
inline constexpr int IDC_PRINT_SYSTEM_BUTTON = 1025;
inline constexpr int IDOK = 1;

// Commands.
inline constexpr int ID_FILE_NEW = 57600;
inline constexpr int ID_FILE_OPEN = 57601;
inline constexpr int ID_FILE_SAVE = 57603;
inline constexpr int ID_EDIT_COPY = 57634;
inline constexpr int ID_EDIT_CUT = 57635;
inline constexpr int ID_EDIT_PASTE = 57637;
inline constexpr int ID_EDIT_UNDO = 57643;
inline constexpr int ID_APP_ABOUT = 57664;
inline constexpr int ID_APP_EXIT = 57665;
inline constexpr int ID_NEXT_PANE = 57680;
inline constexpr int ID_PREV_PANE = 57681;

// Bars and status panes; the idle message ("Ready") of the status bar's message pane.
inline constexpr int AFX_IDS_IDLEMESSAGE = 57345;
inline constexpr int AFX_IDW_TOOLBAR = 59392;
inline constexpr int AFX_IDW_STATUS_BAR = 59393;
inline constexpr int ID_INDICATOR_CAPS = 59137;
inline constexpr int ID_INDICATOR_NUM = 59138;
inline constexpr int ID_INDICATOR_SCRL = 59139;

// Window message answered by the form.
inline constexpr int WM_USER_600 = 0x0658;

} // namespace res
