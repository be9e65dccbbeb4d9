// A dialog template as data. The headless backend builds dialogs from such tables; on Windows the
// same data is the reference the compiled resource script is checked against.
#pragma once

#include "afx/afxtypes.h"

struct AfxDlgItem {
    int id;
    const char* className;
    DWORD style;  // WS_CHILD | WS_VISIBLE included
    DWORD exStyle;
    const char* text;    // UTF-8
    short x, y, cx, cy;  // dialog units
};

struct AfxDlgTemplate {
    const char* caption;
    const char* fontName;
    int pointSize;
    DWORD style;
    DWORD exStyle;
    short cx, cy;
    const AfxDlgItem* controls;
    int controlCount;
};
