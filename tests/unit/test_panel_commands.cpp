// The operator's commands: the frames they send, their repeats and spacing, and the keys.
#include "PanelFixture.h"

namespace {

class CommandsTest : public PanelTest {
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        StartPanel({3});
        OpenAndLink();
        Run(1000);
        simline::ClearWrites();
    }

    // Runs an action; returns the frames it sent, times relative to its start.
    std::vector<std::string> Sent(const std::function<void()>& action)
    {
        const DWORD start = headless::Now();
        simline::ClearWrites();
        action();
        Run(0);  // the panel's thread back in its loop: the worker hands over what arrived, then writes
        std::vector<std::string> lines;
        for (const auto& w : simline::Writes())
            lines.push_back("+" + std::to_string(w.time - start) + ": " + Hex(w.bytes));
        return lines;
    }

    // The amplifier reports a mode; the enabled controls follow it.
    void ModeReply(BYTE mode)
    {
        Arrive(Reply(proto::REPLY_MODE, {mode}));
        Run(10);
    }

    void Type(int id, const std::string& text)
    {
        headless::Paste(Item(id), "");
        headless::Type(Item(id), text);
    }
};

using Lines = std::vector<std::string>;

TEST_F(CommandsTest, SettingCommandsSendTheirFrameTwice100msApartThenPollAt500ms)
{
    // The amplifier echoes every setting, so the panel's controls follow it from case to case.
    amp.echo = amp.applies = true;
    amp.output = 0;
    const struct {
        const char* what;
        std::function<void()> action;
        Lines frames;
    } cases[] = {
        {"ACC", [&] { Click(IDC_MODE_ACC); }, {"+0: EF EF 03 06 01 E8", "+100: EF EF 03 06 01 E8"}},
        {"output on", [&] { Click(IDC_OUTPUT_SWITCH); }, {"+0: EF EF 03 26 01 08", "+100: EF EF 03 26 01 08"}},
        {"output off", [&] { Click(IDC_OUTPUT_SWITCH); }, {"+0: EF EF 03 26 00 07", "+100: EF EF 03 26 00 07"}},
        {"current 1500 above max 1000",
            [&] {
                Type(IDC_TARGET_CURRENT, "1500");
                Click(IDC_SET_CURRENT);
            },
            {"+0: EF EF 04 0D 03 E8 DA", "+100: EF EF 04 0D 03 E8 DA"}},
        {"APC", [&] { Click(IDC_MODE_APC); }, {"+0: EF EF 03 06 00 E7", "+100: EF EF 03 06 00 E7"}},
        {"power 20.5",
            [&] {
                Type(IDC_TARGET_POWER, "20.5");
                Click(IDC_SET_POWER);
            },
            {"+0: EF EF 04 04 23 5A 63", "+100: EF EF 04 04 23 5A 63"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Sent(c.action), c.frames) << c.what;
        EXPECT_EQ(Period(TIMER_POLL), 500u) << c.what;
        // Polling resumes 500 ms after the command.
        const DWORD end = headless::Now();
        Run(500);
        EXPECT_EQ(Log(end + 1), Lines{std::to_string(end + 500) + ": EF EF 02 00 E0"}) << c.what;
    }
}

TEST_F(CommandsTest, TypedEntriesAndTheirFrames)
{
    AmpState.maxCurrent = 1200;
    const struct {
        int box;
        const char* text;
        const char* frame;  // sent twice; nullptr: nothing sent
    } cases[] = {
        {IDC_TARGET_CURRENT, "1500", "EF EF 04 0D 04 B0 A3"},  // clamped to the maximum
        {IDC_TARGET_CURRENT, "-", "EF EF 04 0D 00 00 EF"},     // a lone minus counts as 0
        {IDC_TARGET_CURRENT, "-.", "EF EF 04 0D 00 00 EF"},
        {IDC_TARGET_CURRENT, "12.9", "EF EF 04 0D 00 0C FB"},
        {IDC_TARGET_CURRENT, "", nullptr},
        {IDC_TARGET_POWER, "-80", "EF EF 04 04 00 00 E6"},
        {IDC_TARGET_POWER, "0", "EF EF 04 04 1B 58 59"},
        {IDC_TARGET_POWER, "20.5", "EF EF 04 04 23 5A 63"},
        {IDC_TARGET_POWER, "585.36", "EF EF 04 04 00 00 E6"},  // raw 65536 wraps on the wire
        {IDC_TARGET_POWER, "", nullptr},
    };
    for (const auto& c : cases) {
        headless::Paste(Item(c.box), c.text);
        headless::Focus(Item(c.box));
        const Lines sent = Sent([] { headless::Key(VK_RETURN); });
        const Lines expected
            = c.frame ? Lines{std::string("+0: ") + c.frame, std::string("+100: ") + c.frame} : Lines{};
        EXPECT_EQ(sent, expected) << c.text;
        Run(600);
    }
    EXPECT_EQ(AmpState.targetPowerRaw, 65536) << "the full value of the last power sent is kept";
}

TEST_F(CommandsTest, PastedTextIsConvertedSafely)
{
    // Paste bypasses the box's key filter; the conversion reads the leading number only.
    const struct {
        const char* text;
        int milliamps;
    } cases[] = {{"12abc", 12}, {"abc", 0}, {"1e3", 1000}, {"nan", 0}, {"9999999999999999999999", 0}};
    for (const auto& c : cases) {
        headless::Paste(Item(IDC_TARGET_CURRENT), c.text);
        Click(IDC_SET_CURRENT);
        EXPECT_EQ(AmpState.targetCurrent, c.milliamps) << c.text;
        Run(600);
    }
}

TEST_F(CommandsTest, HoldingStepUpGrowsTheStepAndTheClickAddsOne)
{
    AmpState.targetCurrent = 100;
    static_cast<CSliderCtrl*>(panel->GetDlgItem(IDC_CURRENT_SLIDER))->SetPos(100);
    const Lines sent = Sent([&] {
        headless::PressLeft(Item(IDC_STEP_UP));
        EXPECT_FALSE(Timer(TIMER_POLL));
        Run(1000);  // five ticks of 200 ms
        headless::ReleaseLeft(Item(IDC_STEP_UP));
    });
    // Selector 2: the plain set-current code.
    EXPECT_EQ(sent,
        (Lines{"+200: " + WordFrame(proto::CMD_SET_CURRENT, 101), "+400: " + WordFrame(proto::CMD_SET_CURRENT, 102),
            "+600: " + WordFrame(proto::CMD_SET_CURRENT, 103), "+800: " + WordFrame(proto::CMD_SET_CURRENT, 104),
            "+1000: " + WordFrame(proto::CMD_SET_CURRENT, 106), "+1000: " + WordFrame(proto::CMD_SET_CURRENT, 107)}));
    EXPECT_FALSE(Timer(TIMER_STEP_UP));
    EXPECT_EQ(Period(TIMER_POLL), 500u);
    EXPECT_EQ(AmpState.holdTicks, 0);
}

TEST_F(CommandsTest, StepGrowsToFiftyAndStopsAtTheLimits)
{
    amp.settings.maxCurrentMa = 60000;
    AmpState.maxCurrent = 60000;
    AmpState.targetCurrent = 0;
    std::vector<int> steps;
    int last = 0;
    simline::SetResponder([&](const std::vector<BYTE>& frame) {
        if (frame[3] == proto::CMD_SET_CURRENT) {
            const int value = frame[4] * 256 + frame[5];
            steps.push_back(value - last);
            last = value;
        }
    });
    headless::PressLeft(Item(IDC_STEP_UP));
    Run(300 * 200);
    headless::ReleaseLeft(Item(IDC_STEP_UP));
    ASSERT_EQ(steps.size(), 301u);  // 300 ticks and the click
    EXPECT_EQ(steps[0], 1);
    EXPECT_EQ(steps[3], 1);
    EXPECT_EQ(steps[4], 2);     // tick 5
    EXPECT_EQ(steps[9], 3);     // tick 10
    EXPECT_EQ(steps[243], 49);  // tick 244
    EXPECT_EQ(steps[244], 50);  // tick 245 on
    EXPECT_EQ(steps[299], 50);
    EXPECT_EQ(steps[300], 1);  // the click after the release
    EXPECT_EQ(AmpState.holdTicks, 0);

    const struct {
        int from;
        int max;
        int button;
        const char* frame;
    } limits[] = {
        {0, 1000, IDC_STEP_DOWN, "EF EF 04 0D 00 00 EF"},   // down from 0 sends 0 again
        {1000, 1000, IDC_STEP_UP, "EF EF 04 0D 03 E8 DA"},  // up at the maximum sends it again
        {5, 1000, IDC_STEP_DOWN, "EF EF 04 0D 00 04 F3"},
    };
    for (const auto& c : limits) {
        AmpState.targetCurrent = c.from;
        AmpState.maxCurrent = c.max;
        EXPECT_EQ(Sent([&] { Click(c.button); }), Lines{std::string("+0: ") + c.frame}) << c.from;
    }
}

TEST_F(CommandsTest, DoubleClickGivesTwoSingleSteps)
{
    AmpState.targetCurrent = 100;
    const Lines sent = Sent([&] { headless::DoubleClick(Item(IDC_STEP_DOWN)); });
    EXPECT_EQ(
        sent, (Lines{"+0: " + WordFrame(proto::CMD_SET_CURRENT, 99), "+0: " + WordFrame(proto::CMD_SET_CURRENT, 98)}));
    // The second press arrives as a double click: no repeat starts, polling is not stopped.
    EXPECT_FALSE(Timer(TIMER_STEP_DOWN));
    EXPECT_EQ(Period(TIMER_POLL), 500u);
}

TEST_F(CommandsTest, StepUsesTheSelectorsCode)
{
    AmpState.currentCmdSelect = 1;
    AmpState.targetCurrent = 1499;
    AmpState.maxCurrent = 2000;
    EXPECT_EQ(Sent([&] { Click(IDC_STEP_UP); }), Lines{"+0: EF EF 04 0C 05 DC CF"});
}

TEST_F(CommandsTest, KeysNeverCloseThePanelOnlyTheCloseBoxDoes)
{
    const struct {
        int focus;
        UINT key;
        bool sends;
    } cases[] = {
        {IDC_TARGET_CURRENT, VK_RETURN, true},
        {IDC_TARGET_POWER, VK_RETURN, true},
        {IDC_OPEN_PORT, VK_RETURN, false},
        {IDC_PORT_LIST, VK_RETURN, false},
        {IDC_TARGET_CURRENT, VK_ESCAPE, false},
        {IDC_OPEN_PORT, VK_ESCAPE, false},
        {IDC_OPEN_PORT, VK_CANCEL, false},  // Ctrl+Break: the dialog manager's other Cancel key
        {IDC_STEP_UP, VK_CANCEL, false},
    };
    headless::Paste(Item(IDC_TARGET_CURRENT), "50");
    headless::Paste(Item(IDC_TARGET_POWER), "1");
    for (const auto& c : cases) {
        headless::Focus(Item(c.focus));
        const Lines sent = Sent([&] { headless::Key(c.key); });
        EXPECT_EQ(sent.size(), c.sends ? 2u : 0u) << c.focus << " key " << c.key;
        EXPECT_FALSE(headless::DialogEnded(*panel)) << c.focus << " key " << c.key;
        EXPECT_TRUE(AmpState.portOpen);
        Run(600);
    }
    // Nor does anything else that raises the dialog's OK or Cancel command.
    for (const int command : {IDOK, IDCANCEL}) {
        panel->SendMessage(WM_COMMAND, command, 0);
        EXPECT_FALSE(headless::DialogEnded(*panel)) << command;
    }
    const Lines sent = Sent([&] { headless::CloseBox(panel->m_hWnd); });
    EXPECT_TRUE(headless::DialogEnded(*panel));
    EXPECT_EQ(sent, Lines{}) << "nothing is sent on the way out";
}

// A hold ends however the operator lets go: the repeat stops at once and polling resumes as after
// a button-up (while the link is up), so the current never ramps on by itself.
TEST_F(CommandsTest, AHoldEndsWhenTheButtonUpNeverComes)
{
    const struct {
        const char* how;
        std::function<void()> end;
        bool linked;  // polling resumes
    } cases[] = {
        {"capture lost", [] { headless::LoseCapture(); }, true},
        {"cancel mode to the panel", [&] { headless::CancelMode(panel->m_hWnd); }, true},
        {"cancel mode to the button", [&] { headless::CancelMode(Item(IDC_STEP_UP)); }, true},
        {"panel deactivated", [&] { headless::Deactivate(panel->m_hWnd); }, true},
        {"button disabled by an APC reply", [&] { ModeReply(0); }, true},
        {"port reopened after a device change", [&] { DeviceChange(); }, true},
        {"port gone after a device change",
            [&] {
                simline::SetPresent(3, false);
                DeviceChange();
            },
            false},
    };
    for (const auto& c : cases) {
        SetUp();
        amp.echo = amp.applies = true;  // the slider follows the steps, so polls carry no setpoint back
        headless::PressLeft(Item(IDC_STEP_UP));
        Run(450);  // two steps
        c.end();
        const DWORD ended = headless::Now();
        Run(2000);
        Lines after;
        for (const auto& line : Log(ended + 1))
            if (line.find("EF EF 04") != std::string::npos)
                after.push_back(line);
        EXPECT_EQ(after, Lines{}) << c.how << ": the repeat ran on";
        EXPECT_FALSE(Timer(TIMER_STEP_UP)) << c.how;
        EXPECT_EQ(Timer(TIMER_POLL), c.linked) << c.how;
        EXPECT_EQ(AmpState.holdTicks, 0) << c.how;
        TearDown();
    }
}

// A press that waited in the queue while the panel slept (its 100 ms between a setting's two
// frames) can arrive after a mode reply has disabled the step buttons: it must start no repeat.
TEST_F(CommandsTest, APressQueuedOnAButtonDisabledMeanwhileStartsNoHold)
{
    for (const int id : {IDC_STEP_UP, IDC_STEP_DOWN}) {
        SetUp();
        amp.echo = amp.applies = true;
        Click(IDC_MODE_APC);  // the amplifier's echo disables the current controls
        Run(10);
        ASSERT_FALSE(Enabled(id));
        const DWORD pressed = headless::Now();
        headless::PressLeftQueued(Item(id));
        Run(1000);
        EXPECT_FALSE(Timer(TIMER_STEP_UP) || Timer(TIMER_STEP_DOWN)) << id;
        for (const auto& line : Log(pressed))
            EXPECT_EQ(line.find("EF EF 04"), std::string::npos) << id << ": the repeat ran: " << line;
        headless::ReleaseLeft(Item(id));
        TearDown();
    }
}

// While a report box is open the worker writes nothing; what the operator asked for meanwhile
// goes out afterwards only if it is still fresh, never replayed late.
TEST_F(CommandsTest, FramesHeldUpByAReportBoxGoOutOnlyWhileFresh)
{
    const struct {
        const char* what;
        std::function<void()> action;
        DWORD boxMs;
        Lines sent;  // until 600 ms after the box is dismissed, times from the action
    } cases[] = {
        {"a setting during a short stall: both copies, in order, one spacing apart", [&] { Click(IDC_MODE_ACC); }, 150,
            {"+150: EF EF 03 06 01 E8", "+250: EF EF 03 06 01 E8", "+600: EF EF 02 00 E0"}},
        {"output on, then off, during a long stall: neither; the panel asks again what the amplifier holds, then polls",
            [&] {
                Click(IDC_OUTPUT_SWITCH);
                Run(400);
                Click(IDC_OUTPUT_SWITCH);
            },
            3000, {"+3100: EF EF 02 02 E2", "+3200: EF EF 02 25 05", "+3600: EF EF 02 00 E0"}},
        {"two typed currents during a long stall: neither, and the panel asks again",
            [&] {
                Type(IDC_TARGET_CURRENT, "300");
                Click(IDC_SET_CURRENT);
                Type(IDC_TARGET_CURRENT, "900");
                Click(IDC_SET_CURRENT);
            },
            2000, {"+2200: EF EF 02 02 E2", "+2300: EF EF 02 25 05"}},
    };
    for (const auto& c : cases) {
        const DWORD start = headless::Now();
        simline::ClearWrites();
        simline::ShowReportBox();
        c.action();
        Run(start + c.boxMs - headless::Now());
        simline::DismissReportBox();
        Run(600);
        Lines sent;
        for (const auto& w : simline::Writes())
            sent.push_back("+" + std::to_string(w.time - start) + ": " + Hex(w.bytes));
        EXPECT_EQ(sent, c.sent) << c.what;
        Run(1000);
    }
}

// A setting the write rule drops never reached the amplifier: the panel asks again (queries only)
// and its flags, boxes, slider and switch follow the answers, so the next action starts from what
// the amplifier holds, not from the frame that never went out.
TEST_F(CommandsTest, ADroppedSettingResyncsThePanelWithQueriesOnly)
{
    const struct {
        const char* what;
        std::function<void()> action;  // during the stall
        std::function<void()> check;   // after the re-sync
    } cases[] = {
        {"output OFF dropped: the switch still shows ON, and one more click sends OFF",
            [&] { Click(IDC_OUTPUT_SWITCH); },
            [&] {
                EXPECT_EQ(Text(IDC_OUTPUT_SWITCH), "ON");
                EXPECT_EQ(Sent([&] { Click(IDC_OUTPUT_SWITCH); }),
                    (Lines{"+0: EF EF 03 26 00 07", "+100: EF EF 03 26 00 07"}));
            }},
        {"output OFF dropped, and a click before the re-sync's answer: it sends OFF too",
            [&] {
                Click(IDC_OUTPUT_SWITCH);
                Run(1000);
                simline::DismissReportBox();
                Run(0);  // the worker drops both frames and tells the panel
                EXPECT_EQ(Sent([&] { Click(IDC_OUTPUT_SWITCH); }),
                    (Lines{"+0: EF EF 03 26 00 07", "+100: EF EF 03 26 00 07"}));
                simline::ShowReportBox();  // the table goes on from here as for the others
            },
            [] {}},
        {"typed current dropped: box, slider and the step base follow the amplifier",
            [&] {
                Type(IDC_TARGET_CURRENT, "900");
                Click(IDC_SET_CURRENT);
            },
            [&] {
                EXPECT_EQ(Text(IDC_TARGET_CURRENT), "100");
                EXPECT_EQ(Item(IDC_CURRENT_SLIDER)->pos, 100);
                EXPECT_EQ(Sent([&] { Click(IDC_STEP_UP); }), Lines{"+0: " + WordFrame(proto::CMD_SET_CURRENT, 101)});
            }},
        {"APC dropped: the mode boxes and the enabled controls follow the amplifier's ACC",
            [&] { Click(IDC_MODE_APC); },
            [&] {
                EXPECT_EQ(Item(IDC_MODE_ACC)->check, BST_CHECKED);
                EXPECT_EQ(Item(IDC_MODE_APC)->check, BST_UNCHECKED);
                EXPECT_TRUE(Enabled(IDC_STEP_UP));
                EXPECT_FALSE(Enabled(IDC_SET_POWER));
            }},
        {"a step dropped: the next step counts from the amplifier's target", [&] { Click(IDC_STEP_UP); },
            [&] {
                EXPECT_EQ(Sent([&] { Click(IDC_STEP_UP); }), Lines{"+0: " + WordFrame(proto::CMD_SET_CURRENT, 101)});
            }},
    };
    for (const auto& c : cases) {
        SetUp();
        amp.output = proto::kOutputOn;
        Arrive(OutputReply(proto::kOutputOn));
        Run(600);
        simline::ShowReportBox();
        c.action();
        Run(1000);
        const DWORD dismissed = headless::Now();
        simline::DismissReportBox();
        Run(1000);
        // The dropped frames are not sent late and nothing else but queries goes: the poll that was
        // due goes out fresh, the next asks for the settings and the output a spacing apart, and
        // polling goes on.
        Lines sent;
        for (const auto& w : simline::Writes())
            if (w.time >= dismissed)
                sent.push_back("+" + std::to_string(w.time - dismissed) + ": " + Hex(w.bytes));
        EXPECT_EQ(sent,
            (Lines{"+0: EF EF 02 00 E0", "+500: EF EF 02 02 E2", "+600: EF EF 02 25 05", "+1000: EF EF 02 00 E0"}))
            << c.what;
        c.check();
        TearDown();
    }
}

// Another program's setting reaches the panel as a reply it did not ask for: it must not be spliced
// into digits the operator is typing (12, then 650 arrives, then 34, would send 34650 clamped).
TEST_F(CommandsTest, AReplyNeverRewritesTheSetpointBeingTyped)
{
    const std::string sent1000 = "+0: " + WordFrame(proto::CMD_SET_CURRENT, 1000);
    const struct {
        const char* what;
        std::function<void()> after;  // after 12 was typed and 650 arrived
        std::string box;              // what the current box shows then
    } cases[] = {
        {"typing goes on, Enter sends what was typed (clamped to the maximum)",
            [&] {
                headless::Type(Item(IDC_TARGET_CURRENT), "34");
                EXPECT_EQ(Sent([] { headless::Key(VK_RETURN); }), (Lines{sent1000, "+100: " + sent1000.substr(4)}));
            },
            "1234"},
        {"SET takes the focus and sends what was typed",
            [&] {
                EXPECT_EQ(Sent([&] { Click(IDC_SET_CURRENT); }),
                    (Lines{"+0: " + WordFrame(proto::CMD_SET_CURRENT, 12),
                        "+100: " + WordFrame(proto::CMD_SET_CURRENT, 12)}));
            },
            "12"},
        {"leaving the box unsent shows the amplifier's value", [&] { headless::Focus(Item(IDC_CURRENT_SLIDER)); },
            "650"},
        {"once sent, replies show again",
            [&] {
                headless::Key(VK_RETURN);
                Arrive(TargetCurrentReply(700));
                Run(10);
            },
            "700"},
    };
    for (const auto& c : cases) {
        SetUp();
        headless::Focus(Item(IDC_TARGET_CURRENT));
        Type(IDC_TARGET_CURRENT, "12");
        Arrive(TargetCurrentReply(650));
        Run(10);
        EXPECT_EQ(Text(IDC_TARGET_CURRENT), "12") << c.what;
        EXPECT_EQ(AmpState.targetCurrent, 650) << c.what << ": the state follows the amplifier";
        EXPECT_EQ(Item(IDC_CURRENT_SLIDER)->pos, 650) << c.what << ": so does the slider";
        c.after();
        EXPECT_EQ(Text(IDC_TARGET_CURRENT), c.box) << c.what;
        TearDown();
    }
    // A box not being typed in follows every reply, as it always has.
    SetUp();
    Arrive(SettingsReply(9050, 640, 1000, proto::kModeApc, 2));
    Run(50);
    EXPECT_EQ(Text(IDC_TARGET_CURRENT), "640");
    EXPECT_EQ(Text(IDC_TARGET_POWER), "20.5");
    headless::Focus(Item(IDC_TARGET_POWER));
    headless::Type(Item(IDC_TARGET_POWER), "1");
    Arrive(Reply(proto::REPLY_TARGET_POWER, {0x1F, 0x40}));
    Run(50);
    EXPECT_EQ(Text(IDC_TARGET_POWER), "20.51") << "the power box is kept the same way";
}

TEST_F(CommandsTest, UnechoedSetpointIsOverriddenByTheSliderAtTheNextTick)
{
    // The slider sits at 100 from the settings reply; the amplifier does not echo setpoints.
    Type(IDC_TARGET_CURRENT, "300");
    Click(IDC_SET_CURRENT);
    EXPECT_EQ(AmpState.targetCurrent, 300);
    const DWORD t = headless::Now();
    Run(500);
    EXPECT_EQ(Log(t + 1),
        (Lines{std::to_string(t + 500) + ": " + WordFrame(proto::CMD_SET_CURRENT, 100),
            std::to_string(t + 600) + ": EF EF 02 00 E0"}));
    EXPECT_EQ(AmpState.targetCurrent, 100);
}

TEST_F(PanelTest, StepButtonsAreInertWhileTheLinkIsDown)
{
    StartPanel({3});
    Click(IDC_OPEN_PORT);
    headless::PressLeft(Item(IDC_STEP_UP));
    EXPECT_FALSE(Timer(TIMER_STEP_UP));
    headless::ReleaseLeft(Item(IDC_STEP_UP));
    Run(300);
    for (const auto& line : Log())
        EXPECT_EQ(line.find("EF EF 04"), std::string::npos) << line;
}

}  // namespace
