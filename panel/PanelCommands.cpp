// The operator's commands: mode, setpoints, output switch and the step buttons.
#include <algorithm>

#include "panel/AmpState.h"
#include "panel/PanelDlg.h"

namespace {

bool LinkReady()
{
    return AmpState.linkUp && AmpState.portOpen;
}

}  // namespace

// A setting goes out twice, one frame spacing apart, with polling held off; it then resumes at the
// slower pace.
void CPanelDlg::SendSetting(const proto::Frame& frame)
{
    KillTimer(TIMER_POLL);
    Send(frame);
    AfxSleep(proto::kFrameSpacingMs);
    Send(frame);
    SetTimer(TIMER_POLL, 500);
}

void CPanelDlg::SendSetCurrent(std::int32_t milliamps)
{
    proto::Frame& frame = proto::CurrentCommandFor(AmpState.currentCmdSelect) == proto::CMD_SET_CURRENT
        ? Frames.setCurrent
        : Frames.setCurrentAlt;
    proto::SetWordValue(frame, milliamps);
    Send(frame);
}

void CPanelDlg::OnModeAcc()
{
    SendMode(proto::kModeAcc);
}

void CPanelDlg::OnModeApc()
{
    SendMode(proto::kModeApc);
}

void CPanelDlg::SendMode(std::uint8_t mode)
{
    if (!LinkReady())
        return;
    proto::SetByteValue(Frames.setMode, mode);
    SendSetting(Frames.setMode);
}

// The switch changes colour only when the amplifier reports its output.
void CPanelDlg::OnToggleOutput()
{
    if (!LinkReady())
        return;
    AmpState.outputOn = AmpState.outputOn == proto::kOutputOff ? proto::kOutputOn : proto::kOutputOff;
    proto::SetByteValue(Frames.setOutput, AmpState.outputOn);
    SendSetting(Frames.setOutput);
}

// Reads a setpoint box into displayText; false (nothing to send) while the link is down or the
// box is empty.
bool CPanelDlg::ReadSetpoint(const CEdit& box)
{
    if (!LinkReady())
        return false;
    box.GetWindowText(AmpState.displayText);
    return !AmpState.displayText.IsEmpty();
}

void CPanelDlg::OnSetCurrent()
{
    if (!ReadSetpoint(m_currentBox))
        return;
    AmpState.targetCurrent = proto::CurrentEntryToMilliamps(AmpState.displayText, AmpState.maxCurrent);
    // A typed setpoint always uses the plain set-current code; box and slider wait for the echo.
    proto::SetWordValue(Frames.setCurrent, AmpState.targetCurrent);
    m_currentBox.Sent();
    SendSetting(Frames.setCurrent);
}

void CPanelDlg::OnSetPower()
{
    if (!ReadSetpoint(m_powerBox))
        return;
    AmpState.targetPowerRaw = proto::PowerEntryToRaw(AmpState.displayText);
    // The full value is kept; its low 16 bits travel.
    proto::SetWordValue(Frames.setPower, AmpState.targetPowerRaw);
    m_powerBox.Sent();
    SendSetting(Frames.setPower);
}

void CPanelDlg::OnStepDown()
{
    Step(-1);
}

void CPanelDlg::OnStepUp()
{
    Step(+1);
}

// One step, growing with the time the button has been held: 1 mA, then 2 from the fifth tick...
// Down stops at 0, up at the maximum current.
void CPanelDlg::Step(int direction)
{
    if (!LinkReady())
        return;
    const std::int32_t step = AmpState.holdTicks / 5 + 1;
    std::int32_t target = AmpState.targetCurrent + direction * step;
    target = direction < 0 ? std::max<std::int32_t>(target, 0) : std::min(target, AmpState.maxCurrent);
    AmpState.targetCurrent = target;
    SendSetCurrent(target);
}

// Polling stops while a step button is held; the other button's repeat stops too.
void CPanelDlg::StartHold(UINT_PTR stepTimer)
{
    KillTimer(TIMER_POLL);
    KillTimer(stepTimer == TIMER_STEP_DOWN ? TIMER_STEP_UP : TIMER_STEP_DOWN);
    AmpState.holdTicks = 0;
    SetTimer(stepTimer, 200);
    m_heldStep = stepTimer;
}

// A hold ends as the button-up would end it, however else it ends: the capture lost, the panel
// deactivated or cancelled, the button disabled, the port closed. A repeat must never run on.
void CPanelDlg::EndHold()
{
    if (m_heldStep == 0)
        return;
    m_heldStep = 0;
    KillTimer(TIMER_STEP_DOWN);
    KillTimer(TIMER_STEP_UP);
    AmpState.holdTicks = 0;
    if (AmpState.linkUp)
        SetTimer(TIMER_POLL, 500);
}

LRESULT CPanelDlg::OnStepHoldLost(WPARAM, LPARAM)
{
    EndHold();
    return 0;
}

void CPanelDlg::OnActivate(UINT state, HWND, BOOL)
{
    if (state == WA_INACTIVE)
        EndHold();
    Default();
}

void CPanelDlg::OnCancelMode()
{
    EndHold();
    Default();
}

void CPanelDlg::OnEnable(BOOL enabled)
{
    if (!enabled)
        EndHold();
    Default();
}

void CPanelDlg::OnStepTick(UINT_PTR id)
{
    if (AmpState.holdTicks < 249)
        ++AmpState.holdTicks;
    if (id == TIMER_STEP_DOWN)
        OnStepDown();
    else
        OnStepUp();
}
