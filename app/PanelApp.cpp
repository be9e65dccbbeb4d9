#include "app/PanelApp.h"

#include "panel/PanelDlg.h"

// The one application object; the entry point finds it through AfxGetApp.
static CPanelApp theApp;

BOOL CPanelApp::InitInstance()
{
    AfxEnableControlContainer();
    Enable3dControls();

    CPanelDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;

    // The worker must not outlive the panel it notifies. Closing sends nothing to the amplifier
    // and does nothing when no port is open.
    thePort.Close();
    return FALSE;
}
