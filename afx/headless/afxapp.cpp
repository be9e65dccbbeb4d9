// The application object's resources: an icon is its resource number, nothing draws it here.
#include "afx/headless/Desktop.h"

// ---------------------------------------------------------------------------------------------
// Application
// An icon is its resource number: nothing draws it here.
struct HICON__ {
    UINT id;
};

HICON CWinApp::LoadIcon(UINT id) const
{
    static std::map<UINT, HICON__> icons;
    HICON__& icon = icons[id];
    icon.id = id;
    return &icon;
}

void AfxEnableControlContainer() {}
