// The panel's dialog template as data: the one list the headless backend builds its controls
// from, and against which the Windows tests check the compiled resource script.
#pragma once

#include "afx/afxtypes.h"

struct PanelControl {
    int id;
    const char* className;
    DWORD style;  // WS_CHILD | WS_VISIBLE included
    DWORD exStyle;
    const char* text;  // UTF-8
    short x, y, cx, cy;  // dialog units
};

struct PanelTemplate {
    const char* caption;
    const char* fontName;
    int pointSize;
    DWORD style;
    DWORD exStyle;
    short cx, cy;
    const PanelControl* controls;
    int controlCount;
};

// Template IDD_PANEL.
const PanelTemplate& GetPanelTemplate();
