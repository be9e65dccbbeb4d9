// Port discovery, the open/close toggle, and following ports that come and go.
#include "panel/AmpState.h"
#include "panel/PanelDlg.h"

namespace {

// The amplifier's line: 9600 8N1, received characters only, 512-byte write buffer,
// every timeout 1000 s (the engine waits on events, not on timeouts).
BOOL OpenAmplifierLine(HWND owner, UINT portNr)
{
    return thePort.Open(owner, portNr, 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000, 1000, 1000, 1000);
}

}  // namespace

void CPanelDlg::ScanPorts()
{
    m_portList.ResetContent();
    AmpState.portCount = 0;
    AmpState.linkUp = false;
    AmpState.portOpen = false;
    AmpState.portNumber = 0;

    for (int n = 1; n <= kMaxPorts; ++n) {
        AmpState.portName.Format("\\\\.\\COM%d", n);
        if (!ProbeCommDevice(AmpState.portName))
            continue;
        AmpState.portTable[AmpState.portCount] = static_cast<std::uint8_t>(n);
        AmpState.portName = AmpState.portName.Mid(4);
        m_portList.InsertItem(AmpState.portCount, AmpState.portName);
        ++AmpState.portCount;
    }
    if (AmpState.portCount != 0)
        m_portList.SetCurSel(0);
}

void CPanelDlg::OnOpenPort()
{
    if (AmpState.portCount == 0)
        return;

    if (!AmpState.portOpen) {
        const int selected = m_portList.GetCurSel();
        if (selected < 0 || selected >= AmpState.portCount)
            return;  // nothing selected: nothing to open
        AmpState.portNumber = AmpState.portTable[selected];
        if (!OpenAmplifierLine(m_hWnd, AmpState.portNumber))
            return;
        m_openPort.SetWindowText("ClosePort");
        m_portList.EnableWindow(FALSE);
        SetTimer(TIMER_PROBE, 500);
        thePort.StartMonitor();
        AmpState.portOpen = true;
        return;
    }

    ClosePort();
    AfxSleep(200);
    ReturnToIdle();
}

// Closes the port while its worker may be handing over a byte; no hold outlives the port.
void CPanelDlg::ClosePort()
{
    EndHold();
    thePort.Close();
}

// Back to closed: no timers, a fresh port list, the button offers to open again.
void CPanelDlg::ReturnToIdle()
{
    StopAllTimers();
    ScanPorts();
    m_openPort.SetWindowText("OpenPort");
    m_portList.EnableWindow(TRUE);
}

// Any device change: re-check the open port, or rescan when none is open.
void CPanelDlg::OnDeviceChange()
{
    AfxSleep(200);
    if (!AmpState.portOpen) {
        AfxSleep(200);
        ReturnToIdle();
        return;
    }

    ClosePort();
    AmpState.portOpen = false;
    AfxSleep(200);

    AmpState.portName.Format("\\\\.\\COM%d", AmpState.portNumber);
    if (ProbeCommDevice(AmpState.portName)) {
        // Still there: reopen and carry on polling; timers, link and panel stay as they were.
        if (!OpenAmplifierLine(m_hWnd, AmpState.portNumber))
            return;
        thePort.StartMonitor();
        AmpState.portOpen = true;
        return;
    }

    ReturnToIdle();
}
