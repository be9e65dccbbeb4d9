// Resource and control identifiers of the panel; shared by the resource script and the code.
#ifndef AMP_RESOURCE_H
#define AMP_RESOURCE_H

#define IDD_PANEL 102
#define IDI_PANEL 128

// The panel's caption, by which its helpers and tests also find its window.
#define PANEL_CAPTION "Lumacore - 10W - V20240531"

#define IDC_OPEN_PORT 1000
#define IDC_SET_CURRENT 1001
#define IDC_SET_POWER 1002
#define IDC_PORT_LIST 1003
#define IDC_OUTPUT_SWITCH 1004
#define IDC_TARGET_CURRENT 1005
#define IDC_LD_TEMP 1006
#define IDC_TARGET_POWER 1007
#define IDC_CURRENT_SLIDER 1008
#define IDC_CURRENT_READ 1009
#define IDC_OUTPUT_POWER 1010
#define IDC_INPUT_POWER 1011
#define IDC_STEP_DOWN 1013
#define IDC_STEP_UP 1014
#define IDC_MODE_ACC 1019
#define IDC_MODE_APC 1020

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif
