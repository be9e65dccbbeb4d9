// The panel window: controls, message table, opening, painting and pre-translation of input.
#include "panel/PanelDlg.h"

#include "panel/AmpState.h"

CCommPort thePort;

CPanelDlg::CPanelDlg(CWnd* parent) : CDialog(IDD_PANEL, parent)
{
    m_hIcon = AfxGetApp()->LoadIcon(IDI_PANEL);
}

void CPanelDlg::DoDataExchange(CDataExchange* dx)
{
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_OUTPUT_SWITCH, m_outputSwitch);
    DDX_Control(dx, IDC_SET_POWER, m_setPower);
    DDX_Control(dx, IDC_SET_CURRENT, m_setCurrent);
    DDX_Control(dx, IDC_TARGET_POWER, m_powerBox);
    DDX_Control(dx, IDC_TARGET_CURRENT, m_currentBox);
    DDX_Control(dx, IDC_CURRENT_READ, m_currentRead);
    DDX_Control(dx, IDC_STEP_UP, m_stepUp);
    DDX_Control(dx, IDC_STEP_DOWN, m_stepDown);
    DDX_Control(dx, IDC_MODE_APC, m_modeApc);
    DDX_Control(dx, IDC_MODE_ACC, m_modeAcc);
    DDX_Control(dx, IDC_CURRENT_SLIDER, m_slider);
    DDX_Control(dx, IDC_PORT_LIST, m_portList);
    DDX_Control(dx, IDC_OPEN_PORT, m_openPort);
}

// clang-format off
BEGIN_MESSAGE_MAP(CPanelDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_OPEN_PORT, &CPanelDlg::OnOpenPort)
    ON_WM_TIMER()
    ON_BN_CLICKED(IDC_STEP_DOWN, &CPanelDlg::OnStepDown)
    ON_BN_CLICKED(IDC_STEP_UP, &CPanelDlg::OnStepUp)
    ON_MESSAGE(WM_PORT_RXCHAR, &CPanelDlg::OnPortByte)
    ON_MESSAGE(WM_PORT_TXDROPPED, &CPanelDlg::OnPortFrameDropped)
    ON_BN_CLICKED(IDC_MODE_ACC, &CPanelDlg::OnModeAcc)
    ON_BN_CLICKED(IDC_MODE_APC, &CPanelDlg::OnModeApc)
    ON_BN_CLICKED(IDC_SET_CURRENT, &CPanelDlg::OnSetCurrent)
    ON_BN_CLICKED(IDC_SET_POWER, &CPanelDlg::OnSetPower)
    ON_BN_CLICKED(IDC_OUTPUT_SWITCH, &CPanelDlg::OnToggleOutput)
    ON_WM_SYSCOMMAND()
    ON_WM_ACTIVATE()
    ON_WM_CANCELMODE()
    ON_WM_ENABLE()
    ON_MESSAGE(WM_STEP_HOLD_LOST, &CPanelDlg::OnStepHoldLost)
    ON_MESSAGE(WM_SETPOINT_LEFT, &CPanelDlg::OnSetpointLeft)
END_MESSAGE_MAP()
// clang-format on

BOOL CPanelDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    ScanPorts();

    // The setpoint boxes lay their text out 4 pixels lower, nearer the box's middle.
    for (CEdit* box : {static_cast<CEdit*>(&m_currentBox), static_cast<CEdit*>(&m_powerBox)}) {
        CRect rect;
        box->GetClientRect(&rect);
        rect.OffsetRect(0, 4);
        box->SetRect(rect);
    }

    m_openPort.SetWindowText("OpenPort");
    m_portList.EnableWindow(TRUE);

    m_outputSwitch.ModifyStyle(0, BS_OWNERDRAW);
    m_outputSwitch.SetColor(RGB(245, 245, 245));
    return TRUE;
}

void CPanelDlg::OnPaint()
{
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int iconWidth = AfxGetSystemMetrics(SM_CXICON);
    const int iconHeight = AfxGetSystemMetrics(SM_CYICON);
    CRect client;
    GetClientRect(&client);
    const int x = (client.Width() - iconWidth + 1) / 2;
    const int y = (client.Height() - iconHeight + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CPanelDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

// Keys and the step buttons' press and release, before the dialog manager sees them.
BOOL CPanelDlg::PreTranslateMessage(AfxMsg* msg)
{
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN) {
        // Enter applies the setpoint being typed; it never presses a default button.
        const CWnd* focus = GetFocus();
        const int focusId = focus ? focus->GetDlgCtrlID() : 0;
        if (focusId == IDC_TARGET_CURRENT)
            OnSetCurrent();
        else if (focusId == IDC_TARGET_POWER)
            OnSetPower();
        return TRUE;
    }
    // The panel closes only from its caption's close box: not on Escape, nor on Ctrl+Break,
    // which the dialog manager would take as Cancel.
    if (msg->message == WM_KEYDOWN && (msg->wParam == VK_ESCAPE || msg->wParam == VK_CANCEL))
        return TRUE;

    if (AmpState.linkUp) {
        // A press queued while the panel slept can arrive after a mode reply disabled the button:
        // a disabled button starts no hold.
        if (msg->message == WM_LBUTTONDOWN && msg->hwnd == m_stepDown.m_hWnd) {
            if (m_stepDown.IsWindowEnabled())
                StartHold(TIMER_STEP_DOWN);
        } else if (msg->message == WM_LBUTTONDOWN && msg->hwnd == m_stepUp.m_hWnd) {
            if (m_stepUp.IsWindowEnabled())
                StartHold(TIMER_STEP_UP);
        } else if (msg->message == WM_LBUTTONUP) {
            m_heldStep = 0;
            KillTimer(TIMER_STEP_DOWN);
            KillTimer(TIMER_STEP_UP);
            AmpState.holdTicks = 0;
            SetTimer(TIMER_POLL, 500);
        }
    }
    return CDialog::PreTranslateMessage(msg);
}

void CPanelDlg::OnSysCommand(UINT id, LPARAM)
{
    if ((id & 0xFFF0) == SC_CLOSE)
        EndDialog(IDCANCEL);
    else
        Default();
}

LRESULT CPanelDlg::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DEVICECHANGE)
        OnDeviceChange();
    return CDialog::DefWindowProc(message, wParam, lParam);
}

void CPanelDlg::OnTimer(UINT_PTR id)
{
    switch (id) {
    case TIMER_POLL:
        OnPollTick();
        break;
    case TIMER_PROBE:
        OnProbeTick();
        break;
    case TIMER_STEP_DOWN:
    case TIMER_STEP_UP:
        OnStepTick(id);
        break;
    default:
        break;
    }
    Default();
}

void CPanelDlg::StopAllTimers()
{
    m_heldStep = 0;
    m_resyncDue = false;
    KillTimer(TIMER_POLL);
    KillTimer(TIMER_STEP_DOWN);
    KillTimer(TIMER_STEP_UP);
    KillTimer(TIMER_PROBE);
}

void CPanelDlg::Send(const proto::Frame& frame)
{
    thePort.Write(frame.data(), frame.size);
}
