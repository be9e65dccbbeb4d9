// The application object: its InitInstance is the whole life of the program.
#pragma once

#include "afx/afxwin.h"

class CPanelApp : public CWinApp {
public:
    // Runs the panel modally and returns FALSE, so the program ends when the panel closes.
    BOOL InitInstance() override;
};
