// Probing until the amplifier answers, polling it afterwards, and applying its replies.
#include "panel/AmpState.h"
#include "panel/PanelDlg.h"
#include "protocol/Replies.h"

void CPanelDlg::OnProbeTick()
{
    if (!AmpState.portOpen)
        return;
    Send(Frames.querySettings);
    // Every write discards unread input: give the amplifier time to answer first.
    AfxSleep(proto::kFrameSpacingMs);
    Send(Frames.queryOutput);
}

// Carries a moved slider over as the new current setpoint, then asks for the status. After a
// dropped setting the tick asks what the probe asks instead (settings, then output, a spacing
// apart): the replies put the flags, setpoints and controls back to what the amplifier holds, and
// the slider follows them rather than carrying over a value that never went out.
void CPanelDlg::OnPollTick()
{
    if (m_resyncDue && AmpState.linkUp) {
        m_resyncDue = false;
        OnProbeTick();
        return;
    }
    const int position = m_slider.GetPos();
    if (position != AmpState.targetCurrent) {
        if (!AmpState.portOpen)
            return;
        AmpState.targetCurrent = position;
        SendSetCurrent(position);
        AfxSleep(proto::kFrameSpacingMs);
    }
    if (AmpState.portOpen)
        Send(Frames.queryStatus);
}

// A frame never reached the line. A dropped setting leaves the panel believing in a value the
// amplifier never got (the output switch would need three clicks to turn the laser off), so the
// next poll asks again; so does a dropped query of such a re-sync. Probing repeats by itself.
LRESULT CPanelDlg::OnPortFrameDropped(WPARAM code, LPARAM port)
{
    if (static_cast<UINT>(port) != AmpState.portNumber || !AmpState.linkUp)
        return 0;
    const auto command = static_cast<std::uint8_t>(code);
    if (proto::IsSettingCommand(command) || command == proto::CMD_QUERY_SETTINGS || command == proto::CMD_QUERY_OUTPUT)
        m_resyncDue = true;
    // The switch falls back at once to what the amplifier reported: a click before the re-sync's
    // answer must not send the value that never went out.
    if (command == proto::CMD_SET_OUTPUT)
        AmpState.outputOn = m_reportedOutput;
    return 0;
}

// One received byte, handed over by the port's worker, which waits until we return.
LRESULT CPanelDlg::OnPortByte(WPARAM byte, LPARAM port)
{
    if (static_cast<UINT>(port) != AmpState.portNumber)
        return 0;
    if (RxFramerState.Push(static_cast<std::uint8_t>(byte)))
        ApplyReply();
    return 0;
}

void CPanelDlg::ShowPower(int id, std::int32_t raw)
{
    AmpState.displayText.Format("%.1f", proto::PowerRawToDbm(raw));
    SetDlgItemText(id, AmpState.displayText);
}

// While the operator is typing in a box (it, or its SET button about to take the click, has the
// focus), a reply leaves the text alone: another client's setting arriving mid-edit would
// otherwise be spliced into the typed digits and sent on Enter.
bool CPanelDlg::Editing(const CNumEdit& box) const
{
    if (!box.Typed())
        return false;
    const CWnd* focus = GetFocus();
    const int setId = &box == &m_currentBox ? IDC_SET_CURRENT : IDC_SET_POWER;
    return focus && (focus->m_hWnd == box.m_hWnd || focus->GetDlgCtrlID() == setId);
}

void CPanelDlg::ShowSetpoint(CNumEdit& box, const char* text)
{
    if (!Editing(box))
        box.ShowValue(text);
}

void CPanelDlg::ShowTargetCurrent()
{
    AmpState.displayText.Format("%d", AmpState.targetCurrent);
    ShowSetpoint(m_currentBox, AmpState.displayText);
}

void CPanelDlg::ShowTargetPower()
{
    AmpState.displayText.Format("%.1f", proto::PowerRawToDbm(AmpState.targetPowerRaw));
    ShowSetpoint(m_powerBox, AmpState.displayText);
}

// A box left without its value being sent shows the amplifier's again; one left for its own SET
// button keeps the text the click is about to send.
LRESULT CPanelDlg::OnSetpointLeft(WPARAM id, LPARAM newFocus)
{
    const HWND to = reinterpret_cast<HWND>(newFocus);
    CNumEdit& box = id == IDC_TARGET_CURRENT ? m_currentBox : m_powerBox;
    const int setId = id == IDC_TARGET_CURRENT ? IDC_SET_CURRENT : IDC_SET_POWER;
    if (!box.Typed() || (to && GetDlgItem(setId) && GetDlgItem(setId)->m_hWnd == to))
        return 0;
    if (id == IDC_TARGET_CURRENT)
        ShowTargetCurrent();
    else
        ShowTargetPower();
    return 0;
}

void CPanelDlg::ApplyMode(BYTE mode)
{
    if (mode != proto::kModeAcc && mode != proto::kModeApc)
        return;
    const BOOL acc = mode == proto::kModeAcc;
    m_modeAcc.SetCheck(acc ? BST_CHECKED : BST_UNCHECKED);
    m_modeApc.SetCheck(acc ? BST_UNCHECKED : BST_CHECKED);
    for (CWnd* control : {static_cast<CWnd*>(&m_currentBox), static_cast<CWnd*>(&m_setCurrent),
             static_cast<CWnd*>(&m_slider), static_cast<CWnd*>(&m_stepDown), static_cast<CWnd*>(&m_stepUp)})
        control->EnableWindow(acc);
    m_powerBox.EnableWindow(!acc);
    m_setPower.EnableWindow(!acc);
}

// A checked reply frame is in the framer; the decoder reads its fields at their frame positions.
void CPanelDlg::ApplyReply()
{
    const auto status = [this](const proto::StatusReply& r) {
        AmpState.currentRead = r.currentMa;
        AmpState.inputPowerRaw = r.inputPowerRaw;
        AmpState.outputPowerRaw = r.outputPowerRaw;
        AmpState.ldTempRaw = r.temperatureRaw;
        AmpState.displayText.Format("%d", AmpState.currentRead);
        m_currentRead.SetWindowText(AmpState.displayText);
        ShowPower(IDC_INPUT_POWER, AmpState.inputPowerRaw);
        ShowPower(IDC_OUTPUT_POWER, AmpState.outputPowerRaw);
        AmpState.displayText.Format("%.1f", proto::TempRawToCelsius(AmpState.ldTempRaw));
        SetDlgItemText(IDC_LD_TEMP, AmpState.displayText);
    };

    const auto settings = [this](const proto::SettingsReply& r) {
        AmpState.targetPowerRaw = r.targetPowerRaw;
        ShowTargetPower();
        AmpState.currentCmdSelect = r.currentCmdSelect;
        AmpState.targetCurrent = r.targetCurrentMa;
        AmpState.maxCurrent = r.maxCurrentMa;
        m_slider.SetRange(0, AmpState.maxCurrent, FALSE);
        m_slider.ClearTics(TRUE);
        for (int i = 1; i <= 9; ++i)
            m_slider.SetTic(i * AmpState.maxCurrent / 10);
        m_slider.SetPos(AmpState.targetCurrent);
        ShowTargetCurrent();
        ApplyMode(r.mode);
    };

    const auto targetPower = [this](const proto::TargetPowerReply& r) {
        AmpState.targetPowerRaw = r.targetPowerRaw;
        ShowTargetPower();
    };

    const auto mode = [this](const proto::ModeReply& r) { ApplyMode(r.mode); };

    const auto targetCurrent = [this](const proto::TargetCurrentReply& r) {
        AmpState.targetCurrent = r.targetCurrentMa;
        m_slider.SetPos(AmpState.targetCurrent);
        ShowTargetCurrent();
    };

    const auto output = [this](const proto::OutputReply& r) {
        AmpState.outputOn = r.state;
        m_reportedOutput = r.state;
        if (AmpState.outputOn == proto::kOutputOn) {
            m_outputSwitch.SetColor(RGB(255, 0, 0));
            m_outputSwitch.SetWindowText("ON");
        } else if (AmpState.outputOn == proto::kOutputOff) {
            m_outputSwitch.SetColor(RGB(245, 245, 245));
            m_outputSwitch.SetWindowText("OFF");
        }
        // The first answer brings the link up: probing gives way to polling.
        if (!AmpState.linkUp) {
            KillTimer(TIMER_PROBE);
            SetTimer(TIMER_POLL, 200);
            AmpState.linkUp = true;
        }
    };

    const auto other = [](const proto::OtherReply&) {};

    std::visit(proto::Overloaded{status, settings, targetPower, mode, targetCurrent, output, other},
        proto::DecodeReply(RxFramerState));
}
