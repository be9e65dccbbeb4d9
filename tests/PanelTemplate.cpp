#include "tests/PanelTemplate.h"

#include "res/resource.h"

namespace {

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kPush = kChild | BS_PUSHBUTTON | WS_TABSTOP;
constexpr DWORD kCheck = kChild | BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD kLabel = kChild | SS_LEFT | WS_GROUP;
constexpr DWORD kReadout = kChild | SS_CENTER | SS_CENTERIMAGE | WS_BORDER | WS_GROUP;
constexpr DWORD kSetpoint = kChild | ES_CENTER | ES_MULTILINE | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;

// Template (and tab) order.
const PanelControl kControls[] = {
    {IDC_OPEN_PORT, "BUTTON", kPush, 0, "OpenPort", 88, 10, 47, 15},
    {IDC_SET_CURRENT, "BUTTON", kPush, 0, "SET", 152, 71, 40, 14},
    {IDC_PORT_LIST, "ComboBoxEx32", kChild | CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 0, "", 47, 13, 38,
        174},
    {IDC_STATIC, "STATIC", kLabel, 0, "PortList:", 13, 13, 29, 8},
    {IDC_TARGET_CURRENT, "EDIT", kSetpoint, 0, "", 67, 70, 56, 15},
    {IDC_STATIC, "STATIC", kLabel, 0, "Target\nCurrent", 20, 70, 34, 17},
    {IDC_STATIC, "STATIC", kLabel, 0, "mA", 128, 76, 12, 8},
    {IDC_STATIC, "STATIC", kLabel, 0, "LDTemp", 121, 134, 29, 8},
    {IDC_LD_TEMP, "STATIC", kReadout, 0, "", 154, 131, 35, 13},
    {IDC_STATIC, "STATIC", kLabel, 0, "\u2103", 193, 136, 9, 8},
    // Horizontal, ticks below: both are the zero bits of their fields, spelled out for the reader.
    {IDC_CURRENT_SLIDER, "msctls_trackbar32",
        kChild | TBS_HORZ | TBS_BOTTOM | WS_TABSTOP,  // NOLINT(misc-redundant-expression)
        0, "Slider1", 20, 92, 168, 13},
    {IDC_STEP_DOWN, "BUTTON", kPush, 0, "\u300A", 8, 92, 12, 9},
    {IDC_STEP_UP, "BUTTON", kPush, 0, "\u300B", 191, 92, 12, 9},
    {IDC_STATIC, "STATIC", kLabel, 0, "Target\nPower", 19, 50, 25, 17},
    {IDC_SET_POWER, "BUTTON", kPush, 0, "SET", 152, 51, 40, 15},
    {IDC_TARGET_POWER, "EDIT", kSetpoint, 0, "", 67, 51, 56, 15},
    {IDC_STATIC, "STATIC", kLabel, 0, "dBm", 128, 57, 17, 8},
    {IDC_STATIC, "STATIC", kLabel, 0, "WorkMode", 9, 30, 37, 8},
    {IDC_STATIC, "STATIC", kLabel, 0, "Current\nRead", 19, 129, 26, 16},
    {IDC_CURRENT_READ, "STATIC", kReadout, 0, "", 56, 131, 35, 13},
    {IDC_STATIC, "STATIC", kLabel, 0, "mA", 94, 135, 12, 8},
    {IDC_STATIC, "STATIC", kLabel, 0, "Output\nPower", 120, 108, 26, 18},
    {IDC_OUTPUT_POWER, "STATIC", kReadout, 0, "", 154, 110, 35, 13},
    {IDC_STATIC, "STATIC", kLabel, 0, "dBm", 192, 114, 17, 8},
    {IDC_MODE_ACC, "BUTTON", kCheck, 0, "ACC", 48, 30, 30, 10},
    {IDC_MODE_APC, "BUTTON", kCheck, 0, "APC", 78, 30, 30, 10},
    {IDC_STATIC, "STATIC", kLabel, 0, "Input\nPower", 20, 109, 26, 18},
    {IDC_INPUT_POWER, "STATIC", kReadout, 0, "", 56, 111, 35, 13},
    {IDC_STATIC, "STATIC", kLabel, 0, "dBm", 94, 115, 17, 8},
    {IDC_OUTPUT_SWITCH, "BUTTON", kPush, 0, "ON/OFF", 152, 27, 40, 15},
    {IDC_STATIC, "STATIC", kLabel, 0, "SoftActive", 116, 31, 33, 8},
};

const PanelTemplate kPanel = {
    PANEL_CAPTION,
    "Cambria",
    14,
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    WS_EX_APPWINDOW,
    220,
    153,
    kControls,
    static_cast<int>(sizeof kControls / sizeof kControls[0]),
};

}  // namespace

const PanelTemplate& GetPanelTemplate()
{
    return kPanel;
}
