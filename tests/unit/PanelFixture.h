// The whole panel on the headless backend: a virtual clock, simulated COM devices, and a scripted
// amplifier answering on the simulated line.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "afx/headless/Headless.h"
#include "panel/AmpState.h"
#include "panel/PanelDlg.h"
#include "tests/FakeAmplifier.h"
#include "tests/PanelTemplate.h"
#include "protocol/Frames.h"
#include "serial/headless/SimLine.h"

// A reply frame: ED FA LEN type data... checksum.
std::vector<BYTE> Reply(BYTE type, const std::vector<BYTE>& data);
// Replies as the amplifier sends them, from the protocol's reply encoder.
std::vector<BYTE> StatusReply(
    std::uint16_t currentMa, std::uint16_t inputRaw, std::uint16_t outputRaw, std::uint16_t tempRaw);
std::vector<BYTE> SettingsReply(
    std::uint16_t targetPowerRaw, std::uint16_t targetCurrent, std::uint16_t maxCurrent, BYTE mode, BYTE selector);
std::vector<BYTE> OutputReply(BYTE state);
std::vector<BYTE> TargetCurrentReply(std::uint16_t milliamps);

// "EF EF 02 00 E0".
std::string Hex(const std::vector<BYTE>& bytes);
// A 16-bit command frame, as the (separately tested) frame builder makes it.
std::string WordFrame(BYTE code, int value);

// A written frame as "time: bytes", for readable comparisons of what went over the line.
std::vector<std::string> Log(DWORD from = 0);

// The tests' amplifier on the simulated line, answering after a short latency. It starts with
// settings unechoed and unapplied (echo and applies off), as a panel test mostly wants its own
// frames only.
struct ScriptedAmp : fakeamp::FakeAmplifier {
    ScriptedAmp()
    {
        settings = {8000, 100, 1000, proto::kModeAcc, 2};
        output = proto::kOutputOff;
        outputRaw = 8000;
        temperatureRaw = 2500;
        echo = applies = false;
    }
    DWORD latencyMs = 5;

    void Install();
};

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs in the given COM port numbers and opens the panel.
    void StartPanel(std::initializer_list<UINT> ports = {3});
    // Clicks "OpenPort" and lets the scripted amplifier answer until the link is up.
    void OpenAndLink();

    HWND Item(int id) const { return headless::Child(panel->m_hWnd, id); }
    std::string Text(int id) const { return Item(id)->text; }
    // The port list as it shows: entries in order.
    const std::vector<std::string>& Ports() const { return Item(IDC_PORT_LIST)->items; }
    bool Enabled(int id) const { return (Item(id)->style & WS_DISABLED) == 0; }
    bool Timer(UINT_PTR id) const { return headless::TimerRunning(panel->m_hWnd, id); }
    UINT Period(UINT_PTR id) const { return headless::TimerPeriod(panel->m_hWnd, id); }
    void Click(int id) { headless::Click(Item(id)); }
    void Arrive(const std::vector<BYTE>& bytes, DWORD delayMs = 0) { simline::Arrive(bytes, delayMs); }
    void Run(DWORD ms) { headless::RunFor(ms); }
    void DeviceChange() { panel->SendMessage(WM_DEVICECHANGE, 7, 0); }

    std::unique_ptr<CPanelDlg> panel;
    ScriptedAmp amp;
};
