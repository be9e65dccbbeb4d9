// Opening and closing, probing until the amplifier answers, polling, and device changes:
// frames and their virtual times.
#include "PanelFixture.h"

namespace {

const std::string kSettingsQuery = "EF EF 02 02 E2";
const std::string kOutputQuery = "EF EF 02 25 05";
const std::string kStatusQuery = "EF EF 02 00 E0";

std::string At(DWORD t, const std::string& frame)
{
    return std::to_string(t) + ": " + frame;
}

TEST_F(PanelTest, OpenAndCloseToggleTheButtonListAndTimers)
{
    StartPanel({3, 7});
    CComboBoxEx* list = static_cast<CComboBoxEx*>(panel->GetDlgItem(IDC_PORT_LIST));
    list->SetCurSel(1);
    Click(IDC_OPEN_PORT);
    EXPECT_EQ(Text(IDC_OPEN_PORT), "ClosePort");
    EXPECT_FALSE(Enabled(IDC_PORT_LIST));
    EXPECT_EQ(Period(TIMER_PROBE), 500u);
    EXPECT_EQ(simline::OpenPort(), 7u);
    EXPECT_TRUE(simline::IsMonitored());
    EXPECT_EQ(AmpState.portOpen, 1);
    EXPECT_EQ(AmpState.portNumber, 7);

    Arrive(StatusReply(900, 7000, 8000, 3000));
    Run(50);
    const DWORD closeAt = headless::Now();
    Click(IDC_OPEN_PORT);
    EXPECT_EQ(headless::Now(), closeAt + 200) << "closing waits 200 ms";
    EXPECT_EQ(Text(IDC_OPEN_PORT), "OpenPort");
    EXPECT_TRUE(Enabled(IDC_PORT_LIST));
    EXPECT_FALSE(simline::IsOpen());
    for (UINT_PTR t : {TIMER_POLL, TIMER_STEP_DOWN, TIMER_STEP_UP, TIMER_PROBE})
        EXPECT_FALSE(Timer(t)) << t;
    EXPECT_EQ(AmpState.portOpen, 0);
    EXPECT_EQ(AmpState.portNumber, 0) << "the rescan clears it";
    EXPECT_EQ(Ports().size(), 2u) << "the list is rebuilt";
    EXPECT_EQ(list->GetCurSel(), 0);
    // Readings are kept after a close.
    EXPECT_EQ(Text(IDC_CURRENT_READ), "900");
    const auto written = simline::Writes().size();
    Run(2000);
    EXPECT_EQ(simline::Writes().size(), written) << "nothing is sent once closed";
}

TEST_F(PanelTest, FailedOpenChangesNothingButThePortNumber)
{
    StartPanel({5});
    simline::SetOpenFails(5, true);
    Click(IDC_OPEN_PORT);
    EXPECT_EQ(AmpState.portNumber, 5);
    EXPECT_EQ(AmpState.portOpen, 0);
    EXPECT_EQ(Text(IDC_OPEN_PORT), "OpenPort");
    EXPECT_TRUE(Enabled(IDC_PORT_LIST));
    EXPECT_FALSE(Timer(TIMER_PROBE));
    Run(2000);
    EXPECT_TRUE(simline::Writes().empty());
}

TEST_F(PanelTest, SilentAmplifierIsProbedEvery500msAndCommandsStayInert)
{
    StartPanel({3});
    Click(IDC_OPEN_PORT);
    Run(2050);
    EXPECT_EQ(Log(),
        (std::vector<std::string>{At(500, kSettingsQuery), At(600, kOutputQuery), At(1000, kSettingsQuery),
            At(1100, kOutputQuery), At(1500, kSettingsQuery), At(1600, kOutputQuery), At(2000, kSettingsQuery),
            At(2100, kOutputQuery)}));
    simline::ClearWrites();
    headless::Paste(Item(IDC_TARGET_CURRENT), "12");
    headless::Paste(Item(IDC_TARGET_POWER), "3");
    for (int id :
        {IDC_MODE_ACC, IDC_MODE_APC, IDC_OUTPUT_SWITCH, IDC_SET_CURRENT, IDC_SET_POWER, IDC_STEP_UP, IDC_STEP_DOWN})
        Click(id);
    EXPECT_FALSE(Timer(TIMER_STEP_UP));
    EXPECT_FALSE(Timer(TIMER_POLL));
    EXPECT_TRUE(simline::Writes().empty()) << Log().front();
}

TEST_F(PanelTest, LinkUpSwitchesFromProbingToPolling)
{
    StartPanel({3});
    amp.Install();
    Click(IDC_OPEN_PORT);
    Run(1500);
    // The output reply arrives 5 ms after its query, plus 6 bytes at 1 ms each.
    EXPECT_EQ(AmpState.linkUp, 1);
    EXPECT_FALSE(Timer(TIMER_PROBE));
    EXPECT_EQ(Period(TIMER_POLL), 200u);
    EXPECT_EQ(Log(),
        (std::vector<std::string>{At(500, kSettingsQuery), At(600, kOutputQuery), At(810, kStatusQuery),
            At(1010, kStatusQuery), At(1210, kStatusQuery), At(1410, kStatusQuery)}));
    // The settings reply of the probe filled the setpoints and the slider.
    EXPECT_EQ(AmpState.maxCurrent, 1000);
    EXPECT_EQ(Item(IDC_CURRENT_SLIDER)->pos, 100);
    EXPECT_EQ(Text(IDC_CURRENT_READ), "100");
    EXPECT_EQ(Text(IDC_OUTPUT_SWITCH), "OFF");
}

TEST_F(PanelTest, WithoutSettingsReplyTheMaximumStaysZeroForTheConnection)
{
    StartPanel({3});
    amp.answerSettings = false;
    OpenAndLink();
    Run(3000);
    for (const auto& line : Log(700))
        EXPECT_EQ(line.find(kSettingsQuery), std::string::npos) << "settings are asked for only while probing";
    EXPECT_EQ(AmpState.maxCurrent, 0);
    EXPECT_EQ(Item(IDC_CURRENT_SLIDER)->rangeMax, 100) << "the slider keeps the default range";
}

TEST_F(PanelTest, MovedSliderIsSentOnTheNextTickThenTheStatusQuery)
{
    StartPanel({3});
    amp.selector = 2;
    OpenAndLink();
    simline::ClearWrites();
    const DWORD t = headless::Now();
    static_cast<CSliderCtrl*>(panel->GetDlgItem(IDC_CURRENT_SLIDER))->SetPos(800);
    Run(200);
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    const DWORD tick = simline::Writes()[0].time;
    EXPECT_LE(tick, t + 200);
    EXPECT_EQ(log[0], At(tick, "EF EF 04 0D 03 20 12"));
    EXPECT_EQ(log[1], At(tick + 100, kStatusQuery));
    EXPECT_EQ(AmpState.targetCurrent, 800);
}

TEST_F(PanelTest, SliderHeldAtItsRangeEndIsSentUnclamped)
{
    StartPanel({3});
    amp.answerSettings = false;  // default range 0..100, maximum current 0
    OpenAndLink();
    Arrive(TargetCurrentReply(500));
    Run(20);
    EXPECT_EQ(AmpState.targetCurrent, 500);
    simline::ClearWrites();
    Run(200);
    ASSERT_FALSE(simline::Writes().empty());
    // Selector 1 from a fresh start: the alternative code, value 100 = the slider's end.
    EXPECT_EQ(Hex(simline::Writes()[0].bytes), "EF EF 04 0C 00 64 52");
    EXPECT_EQ(AmpState.targetCurrent, 100);
}

TEST_F(PanelTest, DeviceChangeWhileIdleRescans)
{
    StartPanel({3});
    simline::SetPresent(9, true);
    const DWORD t = headless::Now();
    DeviceChange();
    EXPECT_EQ(headless::Now(), t + 400);
    EXPECT_EQ(Ports(), (std::vector<std::string>{"COM3", "COM9"}));
    EXPECT_EQ(Text(IDC_OPEN_PORT), "OpenPort");
}

TEST_F(PanelTest, DeviceChangeWithThePortStillPresentResumesPolling)
{
    StartPanel({3});
    OpenAndLink();
    Run(1000);
    const int opens = simline::OpenCount();
    const std::string before = Text(IDC_CURRENT_READ);
    const DWORD t = headless::Now();
    simline::SetPresent(12, true);  // an unrelated device arrives
    DeviceChange();
    EXPECT_EQ(headless::Now(), t + 400);
    EXPECT_EQ(simline::OpenCount(), opens + 1) << "closed and reopened";
    EXPECT_EQ(AmpState.portOpen, 1);
    EXPECT_EQ(AmpState.linkUp, 1);
    EXPECT_EQ(Text(IDC_OPEN_PORT), "ClosePort");
    EXPECT_FALSE(Enabled(IDC_PORT_LIST));
    EXPECT_EQ(Ports().size(), 1u) << "no rescan";
    EXPECT_EQ(Text(IDC_CURRENT_READ), before);
    simline::ClearWrites();
    Run(1000);
    for (const auto& line : Log())
        EXPECT_NE(line.find(kStatusQuery), std::string::npos) << line;
    EXPECT_GE(Log().size(), 4u);
}

TEST_F(PanelTest, DeviceChangeWithThePortGoneReturnsToIdle)
{
    StartPanel({3, 4});
    OpenAndLink();
    simline::SetPresent(3, false);
    DeviceChange();
    EXPECT_EQ(AmpState.portOpen, 0);
    EXPECT_EQ(AmpState.linkUp, 0);
    EXPECT_EQ(Text(IDC_OPEN_PORT), "OpenPort");
    EXPECT_TRUE(Enabled(IDC_PORT_LIST));
    EXPECT_EQ(Ports(), std::vector<std::string>{"COM4"});
    for (UINT_PTR id : {TIMER_POLL, TIMER_PROBE})
        EXPECT_FALSE(Timer(id));
    simline::ClearWrites();
    Run(2000);
    EXPECT_TRUE(simline::Writes().empty());
}

TEST_F(PanelTest, FailedReopenSendsNothingUntilTheOperatorOpensAgain)
{
    StartPanel({3});
    OpenAndLink();
    simline::SetOpenFails(3, true);
    DeviceChange();
    EXPECT_EQ(AmpState.portOpen, 0);
    EXPECT_EQ(AmpState.linkUp, 1) << "the reopen-failed state keeps the link flag";
    EXPECT_EQ(Text(IDC_OPEN_PORT), "ClosePort");
    EXPECT_TRUE(Timer(TIMER_POLL));
    simline::ClearWrites();
    Run(2000);
    EXPECT_TRUE(simline::Writes().empty()) << "ticks send nothing while the port is closed";

    // A click takes the open branch: probing starts beside the still-running poll timer (which
    // the click's release, with the link flag still set, restarted at 500 ms).
    simline::SetOpenFails(3, false);
    Click(IDC_OPEN_PORT);
    EXPECT_EQ(AmpState.portOpen, 1);
    EXPECT_EQ(Period(TIMER_PROBE), 500u);
    EXPECT_EQ(Period(TIMER_POLL), 500u);
    simline::ClearWrites();
    Run(1000);
    int probes = 0, polls = 0;
    for (const auto& w : simline::Writes()) {
        probes += Hex(w.bytes) == kSettingsQuery;
        polls += Hex(w.bytes) == kStatusQuery;
    }
    EXPECT_EQ(probes, 2) << ::testing::PrintToString(Log());
    EXPECT_EQ(polls, 2) << ::testing::PrintToString(Log());
}

}  // namespace
