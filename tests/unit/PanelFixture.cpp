#include "PanelFixture.h"

#include <cstdio>

namespace {
// The framework's application object, as the program has one.
CWinApp testApplication;
}  // namespace

std::vector<BYTE> Reply(BYTE type, std::vector<BYTE> data)
{
    std::vector<BYTE> frame;
    frame.reserve(data.size() + 5);
    for (BYTE b : {BYTE{0xED}, BYTE{0xFA}, static_cast<BYTE>(data.size() + 2), type})
        frame.push_back(b);
    for (BYTE b : data)
        frame.push_back(b);
    frame.push_back(proto::FrameChecksum(frame.data(), frame.size()));
    return frame;
}

namespace {
BYTE Hi(int v)
{
    return static_cast<BYTE>((v >> 8) & 0xFF);
}
BYTE Lo(int v)
{
    return static_cast<BYTE>(v & 0xFF);
}
}  // namespace

std::vector<BYTE> StatusReply(int currentMa, int inputRaw, int outputRaw, int tempRaw)
{
    return Reply(proto::REPLY_STATUS,
        {0, 0, Hi(currentMa), Lo(currentMa), Hi(inputRaw), Lo(inputRaw), Hi(outputRaw), Lo(outputRaw), 0, 0,
            Hi(tempRaw), Lo(tempRaw)});
}

std::vector<BYTE> SettingsReply(int targetPowerRaw, int targetCurrent, int maxCurrent, BYTE mode, BYTE selector)
{
    return Reply(proto::REPLY_SETTINGS,
        {Hi(targetPowerRaw), Lo(targetPowerRaw), 0, 0, Hi(targetCurrent), Lo(targetCurrent), 0, 0, Hi(maxCurrent),
            Lo(maxCurrent), 0, 0, mode, selector});
}

std::vector<BYTE> OutputReply(BYTE state)
{
    return Reply(proto::REPLY_OUTPUT, {state});
}

std::vector<BYTE> TargetCurrentReply(int milliamps)
{
    return Reply(proto::REPLY_TARGET_CURRENT, {0, 0, Hi(milliamps), Lo(milliamps)});
}

std::string Hex(const std::vector<BYTE>& bytes)
{
    std::string s;
    char b[4];
    for (BYTE x : bytes) {
        std::snprintf(b, sizeof b, "%02X", x);
        if (!s.empty())
            s += ' ';
        s += b;
    }
    return s;
}

std::string WordFrame(BYTE code, int value)
{
    const proto::Frame f = proto::MakeWordFrame(code, value);
    return Hex(std::vector<BYTE>(f.bytes, f.bytes + f.size));
}

std::vector<std::string> Log(DWORD from)
{
    std::vector<std::string> lines;
    for (const auto& w : simline::Writes())
        if (w.time >= from)
            lines.push_back(std::to_string(w.time) + ": " + Hex(w.bytes));
    return lines;
}

void ScriptedAmp::Install()
{
    simline::SetResponder([this](const std::vector<BYTE>& frame) {
        if (frame.size() < 5)
            return;
        const BYTE code = frame[3];
        const int word = frame.size() == 7 ? frame[4] * 256 + frame[5] : 0;
        switch (code) {
        case proto::CMD_QUERY_SETTINGS:
            if (answerSettings)
                simline::Arrive(SettingsReply(targetPowerRaw, targetCurrent, maxCurrent, mode, selector), latencyMs);
            break;
        case proto::CMD_QUERY_OUTPUT:
            if (answerOutput)
                simline::Arrive(OutputReply(output), latencyMs);
            break;
        case proto::CMD_QUERY_STATUS:
            if (answerStatus)
                simline::Arrive(StatusReply(targetCurrent, 7000, 8000, 2500), latencyMs);
            break;
        case proto::CMD_SET_CURRENT:
        case proto::CMD_SET_CURRENT_ALT:
            if (echoSettings) {
                targetCurrent = word;
                simline::Arrive(TargetCurrentReply(word), latencyMs);
            }
            break;
        case proto::CMD_SET_MODE:
            if (echoSettings) {
                mode = frame[4];
                simline::Arrive(Reply(proto::REPLY_MODE, {mode}), latencyMs);
            }
            break;
        case proto::CMD_SET_OUTPUT:
            if (echoSettings) {
                output = frame[4];
                simline::Arrive(OutputReply(output), latencyMs);
            }
            break;
        default:
            break;
        }
    });
}

void PanelTest::SetUp()
{
    headless::Reset();
    simline::Reset();
    AmpState = AmpStateRecord();
    RxFramerState = proto::RxFramer();
    Frames = PreparedFrames();
    headless::RegisterTemplate(IDD_PANEL, GetPanelTemplate());
}

void PanelTest::TearDown()
{
    thePort.Close();
    if (panel && panel->m_hWnd)
        panel->DestroyWindow();
    panel.reset();
    simline::SetResponder(nullptr);
}

void PanelTest::StartPanel(std::initializer_list<UINT> ports)
{
    for (UINT n : ports)
        simline::SetPresent(n, true);
    panel = std::make_unique<CPanelDlg>();
    ASSERT_TRUE(panel->Create(IDD_PANEL));
}

void PanelTest::OpenAndLink()
{
    amp.Install();
    Click(IDC_OPEN_PORT);
    for (int i = 0; i < 20 && AmpState.linkUp == 0; ++i)
        Run(100);
    ASSERT_EQ(AmpState.linkUp, 1) << "the scripted amplifier never brought the link up";
}
