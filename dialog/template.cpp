#include "dialog/template.h"

namespace {

constexpr uint32_t kEdit = DLGS_TABSTOP | DLGS_BORDER | DLGS_AUTOHSCROLL;
constexpr uint32_t kDrop = DLGS_TABSTOP | DLGS_VSCROLL;
constexpr uint32_t kTab = DLGS_TABSTOP;

const DLG_CONTROL kControls[] = {
    {-1, DLGK_LABEL, 16, 15, 26, 8, "Caption", 0},
    {1000, DLGK_EDIT, 93, 13, 163, 12, "", kEdit},
    {-1, DLGK_LABEL, 16, 30, 53, 8, "Additional Notes", 0},
    {1021, DLGK_EDIT, 93, 28, 163, 12, "", kEdit},
    {-1, DLGK_LABEL, 16, 45, 69, 8, "Sampling Interval", 0},
    {1003, DLGK_EDIT, 93, 43, 41, 12, "", kEdit},
    {-1, DLGK_LABEL, 138, 45, 12, 8, "sec", 0},
    {-1, DLGK_LABEL, 16, 60, 34, 8, "Data Type", 0},
    {1023, DLGK_DROPDOWN, 93, 58, 88, 47, "", kDrop},
    {-1, DLGK_LABEL, 16, 75, 71, 8, "Input Frequency", 0},
    {1007, DLGK_EDIT, 93, 73, 87, 12, "", kEdit},
    {-1, DLGK_LABEL, 184, 75, 9, 8, "Hz", 0},
    {-1, DLGK_LABEL, 16, 90, 40, 8, "Scale Factor", 0},
    {1004, DLGK_EDIT, 93, 88, 41, 12, "", kEdit},
    {-1, DLGK_LABEL, 16, 104, 36, 8, "Bin Density", 0},
    {1005, DLGK_EDIT, 93, 102, 41, 12, "", kEdit},
    {-1, DLGK_LABEL, 16, 118, 44, 8, "Bin Threshold", 0},
    {1006, DLGK_EDIT, 93, 116, 41, 12, "", kEdit},
    {-1, DLGK_LABEL, 16, 131, 44, 8, "Trace History", 0},
    {1013, DLGK_EDIT, 93, 130, 41, 12, "", kEdit},
    {-1, DLGK_LABEL, 16, 145, 50, 8, "Trace Duration", 0},
    {1011, DLGK_EDIT, 93, 144, 41, 12, "", kEdit},
    {1012, DLGK_DROPDOWN, 138, 144, 43, 95, "", kDrop},
    {-1, DLGK_LABEL, 16, 160, 44, 8, "Run Until", 0},
    {1014, DLGK_DROPDOWN, 93, 158, 164, 95, "", kDrop},
    {-1, DLGK_LABEL, 16, 175, 64, 8, "Instrument Address", 0},
    {1015, DLGK_EDIT, 93, 173, 164, 12, "", kEdit},
    {1028, DLGK_CHECKBOX, 93, 188, 101, 10, "Prologix GPIB-USB support", kTab},
    {1029, DLGK_CHECKBOX, 93, 198, 94, 10, "Auto-identify instrument", kTab},
    {1001, DLGK_GROUPBOX, 273, 10, 225, 86, "Available Interfaces", 0},
    {1008, DLGK_LISTBOX, 281, 22, 209, 60, "", DLGS_TABSTOP | DLGS_BORDER | DLGS_SORT | DLGS_NOTIFY | DLGS_VSCROLL},
    {1010, DLGK_LABEL, 282, 75, 155, 18, "Choose an interface from the list above", 0},
    {1025, DLGK_BUTTON, 443, 76, 48, 14, "Refresh", kTab},
    {1002, DLGK_GROUPBOX, 273, 100, 225, 89, "Incoming Data", 0},
    {1009, DLGK_MULTILINE, 281, 114, 209, 52, "", DLGS_BORDER | DLGS_VSCROLL | DLGS_AUTOVSCROLL},
    {1026, DLGK_BUTTON, 443, 170, 48, 14, "Monitor", kTab},
    {1, DLGK_DEFBUTTON, 153, 216, 74, 14, "Start Measurement", kTab},
    {2, DLGK_BUTTON, 245, 216, 51, 14, "Cancel", kTab},
    {1022, DLGK_BUTTON, 313, 216, 74, 14, "Restore Defaults", kTab},
    {1019, DLGK_GROUPBOX, 14, 237, 484, 128, "Static", 0},
    {1020, DLGK_LABEL, 26, 246, 464, 112, "Static help text goes here", 0},
    {1027, DLGK_LABEL, 282, 169, 150, 8, "  ", 0},
};

}  // namespace

const DLG_TEMPLATE SETUP_TEMPLATE = {
    51, 512, 377, "MS Shell Dlg", 8, "", kControls, static_cast<int32_t>(sizeof kControls / sizeof kControls[0]),
};

const DLG_CONTROL* find_template_control(const DLG_TEMPLATE* tpl, int id) {
  if (id == -1) return nullptr;
  for (int i = 0; i < tpl->count; i++) {
    if (tpl->controls[i].id == id) return &tpl->controls[i];
  }
  return nullptr;
}
