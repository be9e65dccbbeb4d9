// The panel's dialog template as data: the one list the headless backend builds its controls
// from, and against which the Windows tests check the compiled resource script.
#pragma once

#include "afx/afxtemplate.h"

using PanelControl = AfxDlgItem;
using PanelTemplate = AfxDlgTemplate;

// Template IDD_PANEL.
const PanelTemplate& GetPanelTemplate();
