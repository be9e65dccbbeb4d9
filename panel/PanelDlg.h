// The panel: the program's one window. Port discovery and connection, polling, the reply parser
// and the operator's commands are its handlers, split into files by concern.
#pragma once

#include "afx/afxwin.h"
#include "panel/ColorButton.h"
#include "panel/NumEdit.h"
#include "panel/StepButton.h"
#include "protocol/Frames.h"
#include "res/resource.h"
#include "serial/CommPort.h"

// The one serial port of the program.
extern CCommPort thePort;

class CPanelDlg : public CDialog {
public:
    enum { IDD = IDD_PANEL };
    explicit CPanelDlg(CWnd* parent = nullptr);

    BOOL PreTranslateMessage(AfxMsg* msg) override;

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // Only the caption's close box ends the panel: the dialog's OK and Cancel commands, whatever
    // key or control raises them, do nothing.
    void OnOK() override {}
    void OnCancel() override {}

    // Window and timers.
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnTimer(UINT_PTR id);
    void OnSysCommand(UINT id, LPARAM lParam);
    // Ways a hold on a step button ends without the button coming up.
    void OnActivate(UINT state, HWND other, BOOL minimized);
    void OnCancelMode();
    void OnEnable(BOOL enabled);
    LRESULT OnStepHoldLost(WPARAM id, LPARAM);

    // Ports.
    void ScanPorts();
    void OnOpenPort();
    void OnDeviceChange();
    void ClosePort();
    void ReturnToIdle();

    // Link.
    void OnProbeTick();
    void OnPollTick();
    LRESULT OnPortByte(WPARAM byte, LPARAM port);
    LRESULT OnPortFrameDropped(WPARAM code, LPARAM port);
    // A reply's setpoint for a box; not over what the operator is typing there.
    void ShowSetpoint(CNumEdit& box, const char* text);
    bool Editing(const CNumEdit& box) const;
    LRESULT OnSetpointLeft(WPARAM id, LPARAM newFocus);
    void ShowTargetCurrent();
    void ShowTargetPower();
    void ApplyReply();
    void ApplyMode(BYTE mode);
    void ShowPower(int id, std::int32_t raw);

    // Operator commands.
    void OnModeAcc();
    void OnModeApc();
    void OnToggleOutput();
    void OnSetCurrent();
    void OnSetPower();
    void OnStepDown();
    void OnStepUp();
    void OnStepTick(UINT_PTR id);
    void Step(int direction);
    void SendMode(std::uint8_t mode);
    void StartHold(UINT_PTR stepTimer);
    void EndHold();

    void Send(const proto::Frame& frame);
    bool ReadSetpoint(const CEdit& box);
    void SendSetting(const proto::Frame& frame);
    void SendSetCurrent(std::int32_t milliamps);
    void StopAllTimers();

    DECLARE_MESSAGE_MAP()

    CColorButton m_outputSwitch;
    CButton m_setPower;
    CButton m_setCurrent;
    CNumEdit m_powerBox;
    CNumEdit m_currentBox;
    CStatic m_currentRead;
    CStepButton m_stepUp;
    CStepButton m_stepDown;
    CButton m_modeApc;
    CButton m_modeAcc;
    CSliderCtrl m_slider;
    CComboBoxEx m_portList;
    CButton m_openPort;
    HICON m_hIcon;
    // The step timer of the hold in progress, 0 when no step button is held.
    UINT_PTR m_heldStep = 0;
    // A setting never reached the line: what the panel believes of the amplifier's settings and
    // output is in doubt until it has asked again.
    bool m_resyncDue = false;
    // The output state the amplifier last reported: what a dropped switch click falls back to.
    BYTE m_reportedOutput = 0;
};
