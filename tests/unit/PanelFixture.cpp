#include "PanelFixture.h"

#include <cstdio>

#include "protocol/Replies.h"

namespace {
// The framework's application object, as the program has one.
CWinApp testApplication;
}  // namespace

std::vector<BYTE> Reply(BYTE type, const std::vector<BYTE>& data)
{
    return proto::MakeReplyFrame(type, data);
}

std::vector<BYTE> StatusReply(
    std::uint16_t currentMa, std::uint16_t inputRaw, std::uint16_t outputRaw, std::uint16_t tempRaw)
{
    return proto::EncodeReply(proto::StatusReply{currentMa, inputRaw, outputRaw, tempRaw});
}

std::vector<BYTE> SettingsReply(
    std::uint16_t targetPowerRaw, std::uint16_t targetCurrent, std::uint16_t maxCurrent, BYTE mode, BYTE selector)
{
    return proto::EncodeReply(proto::SettingsReply{targetPowerRaw, targetCurrent, maxCurrent, mode, selector});
}

std::vector<BYTE> OutputReply(BYTE state)
{
    return proto::EncodeReply(proto::OutputReply{state});
}

std::vector<BYTE> TargetCurrentReply(std::uint16_t milliamps)
{
    return proto::EncodeReply(proto::TargetCurrentReply{milliamps});
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
        if (const std::optional<proto::ReplyBytes> reply = Reply(frame.data(), frame.size()))
            simline::Arrive(*reply, latencyMs);
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
    for (int i = 0; i < 20 && !AmpState.linkUp; ++i)
        Run(100);
    ASSERT_TRUE(AmpState.linkUp) << "the scripted amplifier never brought the link up";
}
