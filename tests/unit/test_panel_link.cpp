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
    EXPECT_TRUE(AmpState.portOpen);
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
    EXPECT_FALSE(AmpState.portOpen);
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
    EXPECT_FALSE(AmpState.portOpen);
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
    EXPECT_TRUE(AmpState.linkUp);
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

// The poll tick carries a slider position that differs from the setpoint over to the amplifier,
// then asks for the status 100 ms later.
TEST_F(PanelTest, TheSliderIsCarriedOverOnTheNextTick)
{
    const struct {
        const char* what;
        bool settingsAnswered;
        std::function<void()> move;
        const char* frame;
    } cases[] = {
        {"moved to 800, selector 2: the plain code", true,
            [&] { static_cast<CSliderCtrl*>(panel->GetDlgItem(IDC_CURRENT_SLIDER))->SetPos(800); },
            "EF EF 04 0D 03 20 12"},
        // No settings reply: the default range 0..100 holds the slider at 100 when the amplifier
        // reports 500, and a fresh start's selector 1 picks the alternative code.
        {"held at the end of its range", false,
            [&] {
                Arrive(TargetCurrentReply(500));
                Run(20);
            },
            "EF EF 04 0C 00 64 52"},
    };
    for (const auto& c : cases) {
        SetUp();
        StartPanel({3});
        amp.answerSettings = c.settingsAnswered;
        OpenAndLink();
        c.move();
        simline::ClearWrites();
        Run(200);
        const auto log = Log();
        ASSERT_GE(log.size(), 2u) << c.what;
        const DWORD tick = simline::Writes()[0].time;
        EXPECT_EQ(log[0], At(tick, c.frame)) << c.what;
        EXPECT_EQ(log[1], At(tick + 100, kStatusQuery)) << c.what;
        TearDown();
    }
}

// A device change: 200 ms, then the open port is closed, probed for and reopened when still there
// (polling goes on), or the panel returns to idle with a fresh list; without an open port, a
// rescan 200 ms later.
TEST_F(PanelTest, DeviceChanges)
{
    const struct {
        const char* what;
        bool linked;
        std::function<void()> change;
        DWORD waits;
        const char* caption;
        bool listEnabled;
        std::vector<std::string> listed;
        bool polling;  // status queries go on every 200 ms
    } cases[] = {
        {"idle: an adapter arrives", false, [] { simline::SetPresent(9, true); }, 400, "OpenPort", true,
            {"COM3", "COM4", "COM9"}, false},
        {"linked: an unrelated device arrives", true, [] { simline::SetPresent(12, true); }, 400, "ClosePort", false,
            {"COM3", "COM4"}, true},
        {"linked: the amplifier's port is gone", true, [] { simline::SetPresent(3, false); }, 400, "OpenPort", true,
            {"COM4"}, false},
        {"linked: the port is there but cannot be opened", true, [] { simline::SetOpenFails(3, true); }, 400,
            "ClosePort", false, {"COM3", "COM4"}, false},
    };
    for (const auto& c : cases) {
        SetUp();
        StartPanel({3, 4});
        if (c.linked) {
            OpenAndLink();
            Run(1000);
        }
        const std::string reading = Text(IDC_CURRENT_READ);
        c.change();
        const DWORD t = headless::Now();
        DeviceChange();
        EXPECT_EQ(headless::Now(), t + c.waits) << c.what;
        EXPECT_EQ(Text(IDC_OPEN_PORT), c.caption) << c.what;
        EXPECT_EQ(Enabled(IDC_PORT_LIST), c.listEnabled) << c.what;
        EXPECT_EQ(Ports(), c.listed) << c.what;
        EXPECT_EQ(Text(IDC_CURRENT_READ), reading) << c.what << ": readings are kept";
        simline::ClearWrites();
        Run(1000);
        EXPECT_TRUE(c.polling ? Log().size() >= 5 : Log().empty()) << c.what << ": " << ::testing::PrintToString(Log());
        for (const auto& line : Log())
            EXPECT_NE(line.find(kStatusQuery), std::string::npos) << c.what << ": " << line;
        TearDown();
    }
}

// After a reopen failed, the panel still reads ClosePort with its poll timer running; a click takes
// the open branch, and probing runs beside the poll timer (which the click's release restarted).
TEST_F(PanelTest, AfterAFailedReopenTheOpenClickProbesBesidePolling)
{
    StartPanel({3});
    OpenAndLink();
    simline::SetOpenFails(3, true);
    DeviceChange();
    simline::SetOpenFails(3, false);
    Click(IDC_OPEN_PORT);
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
