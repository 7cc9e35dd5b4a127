// The setup dialog's template (resource 51) as data: one table of controls,
// in tab order, that every surface builds its dialog from.
#pragma once
#include <cstdint>

enum DLG_CONTROL_KIND {
  DLGK_LABEL = 1,
  DLGK_EDIT,        // single-line edit field
  DLGK_MULTILINE,   // multi-line edit field
  DLGK_DROPDOWN,    // drop-down list, no typing
  DLGK_LISTBOX,
  DLGK_CHECKBOX,
  DLGK_GROUPBOX,
  DLGK_BUTTON,
  DLGK_DEFBUTTON,   // the push button that Enter presses
};

// Style bits, independent of any window system; a surface maps them.
enum {
  DLGS_TABSTOP = 0x1,
  DLGS_BORDER = 0x2,
  DLGS_AUTOHSCROLL = 0x4,
  DLGS_AUTOVSCROLL = 0x8,
  DLGS_VSCROLL = 0x10,
  DLGS_SORT = 0x20,
  DLGS_NOTIFY = 0x40,
  DLGS_READONLY = 0x80,
};

// Identifiers of the controls the code refers to by name.
enum {
  IDC_START = 1,
  IDC_CANCEL = 2,
  IDC_CAPTION = 1000,
  IDC_INTERFACE_GROUP = 1001,
  IDC_INCOMING_GROUP = 1002,
  IDC_SAMPLE_INTERVAL = 1003,
  IDC_SCALE_FACTOR = 1004,
  IDC_BIN_DENSITY = 1005,
  IDC_BIN_THRESHOLD = 1006,
  IDC_INPUT_FREQ = 1007,
  IDC_INTERFACE_LIST = 1008,
  IDC_INCOMING = 1009,
  IDC_INTERFACE_STATUS = 1010,
  IDC_DURATION = 1011,
  IDC_DURATION_TYPE = 1012,
  IDC_TRACE_HISTORY = 1013,
  IDC_STOP_CONDITION = 1014,
  IDC_ADDRESS = 1015,
  IDC_HELP_GROUP = 1019,
  IDC_HELP_TEXT = 1020,
  IDC_NOTES = 1021,
  IDC_RESTORE = 1022,
  IDC_DATA_TYPE = 1023,
  IDC_REFRESH = 1025,
  IDC_MONITOR = 1026,
  IDC_ID_LABEL = 1027,
  IDC_PROLOGIX = 1028,
  IDC_IDENTIFY = 1029,
};

struct DLG_CONTROL {
  int32_t id;  // -1 for labels without an identifier
  int32_t kind;
  int32_t x, y, width, height;  // dialog units
  const char* text;             // the text in the template
  uint32_t style;
};

struct DLG_TEMPLATE {
  int32_t resource;
  int32_t width, height;  // dialog units
  const char* font;
  int32_t point_size;
  const char* caption;  // empty: the procedure sets it
  const DLG_CONTROL* controls;
  int32_t count;
};

extern const DLG_TEMPLATE SETUP_TEMPLATE;

// The control with that identifier, or null.
const DLG_CONTROL* find_template_control(const DLG_TEMPLATE* tpl, int id);
