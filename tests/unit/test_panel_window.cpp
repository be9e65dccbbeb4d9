// The panel right after start, the port scan, and replies shown on the controls.
#include "PanelFixture.h"

namespace {

const int kAllControls[] = {IDC_OPEN_PORT, IDC_SET_CURRENT, IDC_SET_POWER, IDC_PORT_LIST, IDC_OUTPUT_SWITCH,
    IDC_TARGET_CURRENT, IDC_LD_TEMP, IDC_TARGET_POWER, IDC_CURRENT_SLIDER, IDC_CURRENT_READ, IDC_OUTPUT_POWER,
    IDC_INPUT_POWER, IDC_STEP_DOWN, IDC_STEP_UP, IDC_MODE_ACC, IDC_MODE_APC};

TEST_F(PanelTest, FreshStartShowsAnIdlePanel)
{
    StartPanel({3});
    for (int id :
        {IDC_CURRENT_READ, IDC_INPUT_POWER, IDC_OUTPUT_POWER, IDC_LD_TEMP, IDC_TARGET_CURRENT, IDC_TARGET_POWER})
        EXPECT_EQ(Text(id), "") << id;
    EXPECT_EQ(Item(IDC_MODE_ACC)->check, BST_UNCHECKED);
    EXPECT_EQ(Item(IDC_MODE_APC)->check, BST_UNCHECKED);
    for (int id : kAllControls)
        EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_EQ(Text(IDC_OPEN_PORT), "OpenPort");
    EXPECT_EQ(Text(IDC_OUTPUT_SWITCH), "ON/OFF");
    EXPECT_EQ(Item(IDC_OUTPUT_SWITCH)->style & BS_TYPEMASK, static_cast<DWORD>(BS_OWNERDRAW));
    for (UINT_PTR t : {TIMER_POLL, TIMER_STEP_DOWN, TIMER_STEP_UP, TIMER_PROBE})
        EXPECT_FALSE(Timer(t)) << t;
    EXPECT_TRUE(simline::Writes().empty());
    // Both setpoint boxes lay out their text 4 pixels lower than their client area.
    for (int id : {IDC_TARGET_CURRENT, IDC_TARGET_POWER}) {
        const HWND box = Item(id);
        EXPECT_EQ(box->formatRect, CRect(0, 4, box->rect.Width(), box->rect.Height() + 4)) << id;
    }
    EXPECT_NE(panel->m_hWnd->bigIcon, nullptr);
    EXPECT_EQ(panel->m_hWnd->bigIcon, panel->m_hWnd->smallIcon);
}

TEST_F(PanelTest, PortScanListsPresentPortsInOrder)
{
    const struct {
        const char* what;
        std::vector<UINT> present;
        std::vector<std::string> listed;
    } cases[] = {
        {"COM3 and COM7", {7, 3}, {"COM3", "COM7"}},
        {"none", {}, {}},
        {"COM255 is never probed", {255, 1}, {"COM1"}},
        {"first and last", {254, 1}, {"COM1", "COM254"}},
    };
    for (const auto& c : cases) {
        SetUp();
        for (UINT n : c.present)
            simline::SetPresent(n, true);
        StartPanel({});
        EXPECT_EQ(Ports(), c.listed) << c.what;
        ASSERT_EQ(AmpState.portCount, c.listed.size()) << c.what;
        for (std::size_t i = 0; i < c.listed.size(); ++i)
            EXPECT_EQ("COM" + std::to_string(AmpState.portTable[i]), c.listed[i]) << c.what;
        EXPECT_EQ(Item(IDC_PORT_LIST)->curSel, c.listed.empty() ? -1 : 0) << c.what;
        EXPECT_EQ(simline::Probed().size(), 254u) << c.what;
        EXPECT_EQ(simline::Probed().back(), 254u) << c.what;
        TearDown();
    }
}

TEST_F(PanelTest, EveryPresentPortIsListedBeyondSixteen)
{
    for (UINT n = 1; n <= 254; ++n)
        simline::SetPresent(n, true);
    StartPanel({});
    ASSERT_EQ(Ports().size(), 254u);
    EXPECT_EQ(AmpState.portCount, 254);
    EXPECT_EQ(Ports()[200], "COM201");
    EXPECT_EQ(AmpState.portTable[200], 201);
}

TEST_F(PanelTest, OpenPortDoesNothingWithoutPorts)
{
    StartPanel({});
    Click(IDC_OPEN_PORT);
    Run(1000);
    EXPECT_EQ(Text(IDC_OPEN_PORT), "OpenPort");
    EXPECT_FALSE(simline::IsOpen());
    EXPECT_TRUE(simline::Writes().empty());
}

// Replies reach the controls through the port's byte notifications and the reply parser.
class RepliesTest : public PanelTest {
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        StartPanel({3});
        Click(IDC_OPEN_PORT);  // nobody answers: the panel stays probing
    }
    void Feed(const std::vector<BYTE>& bytes)
    {
        Arrive(bytes);
        Run(static_cast<DWORD>(bytes.size()) + 1);
    }
};

TEST_F(RepliesTest, StatusReplyShowsTheFourReadouts)
{
    Feed({0xED, 0xFA, 0x0E, 0x00, 0x00, 0x00, 0x05, 0xDC, 0x1B, 0x58, 0x1F, 0x40, 0x00, 0x00, 0x09, 0xC4, 0x75});
    EXPECT_EQ(Text(IDC_CURRENT_READ), "1500");
    EXPECT_EQ(Text(IDC_INPUT_POWER), "0.0");
    EXPECT_EQ(Text(IDC_OUTPUT_POWER), "10.0");
    EXPECT_EQ(Text(IDC_LD_TEMP), "25.0");
    EXPECT_EQ(AmpState.currentRead, 1500);
}

TEST_F(RepliesTest, BadChecksumIsDroppedAndTheNextFrameApplied)
{
    auto bad = StatusReply(1500, 7000, 8000, 2500);
    bad.back() ^= 0x5A;
    Feed(bad);
    EXPECT_EQ(Text(IDC_CURRENT_READ), "");
    Feed(StatusReply(321, 6999, 65535, 0));
    EXPECT_EQ(Text(IDC_CURRENT_READ), "321");
    EXPECT_EQ(Text(IDC_INPUT_POWER), "-0.0");  // printf's rounding of -0.01
    EXPECT_EQ(Text(IDC_OUTPUT_POWER), "585.4");
    EXPECT_EQ(Text(IDC_LD_TEMP), "0.0");
}

TEST_F(RepliesTest, BytesFromAnotherPortAreIgnored)
{
    AmpState.portNumber = 4;  // as if the byte came from a port other than the one opened
    Feed(StatusReply(1500, 7000, 8000, 2500));
    EXPECT_EQ(Text(IDC_CURRENT_READ), "");
    EXPECT_EQ(RxFramerState.Index(), 0);
}

TEST_F(RepliesTest, SettingsReplySetsSetpointsSliderAndMode)
{
    Feed(SettingsReply(9050, 640, 1000, 0, 2));
    EXPECT_EQ(Text(IDC_TARGET_POWER), "20.5");
    EXPECT_EQ(Text(IDC_TARGET_CURRENT), "640");
    EXPECT_EQ(AmpState.maxCurrent, 1000);
    EXPECT_EQ(AmpState.currentCmdSelect, 2);
    const HWND slider = Item(IDC_CURRENT_SLIDER);
    EXPECT_EQ(slider->rangeMin, 0);
    EXPECT_EQ(slider->rangeMax, 1000);
    EXPECT_EQ(slider->tics, (std::vector<int>{100, 200, 300, 400, 500, 600, 700, 800, 900}));
    EXPECT_EQ(slider->pos, 640);
    // APC: power controls on, current controls off.
    EXPECT_EQ(Item(IDC_MODE_APC)->check, BST_CHECKED);
    EXPECT_EQ(Item(IDC_MODE_ACC)->check, BST_UNCHECKED);
    for (int id : {IDC_TARGET_CURRENT, IDC_SET_CURRENT, IDC_CURRENT_SLIDER, IDC_STEP_DOWN, IDC_STEP_UP})
        EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(Enabled(IDC_TARGET_POWER));
    EXPECT_TRUE(Enabled(IDC_SET_POWER));
    // A second settings reply re-marks the ticks for the new maximum.
    Feed(SettingsReply(9050, 640, 1234, 1, 1));
    EXPECT_EQ(slider->tics, (std::vector<int>{123, 246, 370, 493, 617, 740, 863, 987, 1110}));
    EXPECT_EQ(Item(IDC_MODE_ACC)->check, BST_CHECKED);
    EXPECT_TRUE(Enabled(IDC_SET_CURRENT));
    EXPECT_FALSE(Enabled(IDC_SET_POWER));
    // A mode reply of another value changes no control.
    Feed(Reply(proto::REPLY_MODE, {7}));
    EXPECT_EQ(Item(IDC_MODE_ACC)->check, BST_CHECKED);
    EXPECT_EQ(Item(IDC_MODE_APC)->check, BST_UNCHECKED);
    EXPECT_FALSE(Enabled(IDC_SET_POWER));
}

TEST_F(RepliesTest, ShortSettingsFrameReadsWhatEarlierFramesLeft)
{
    Feed(SettingsReply(9050, 640, 1000, 1, 2));
    // LEN 8: power and current only; positions 12-17 still hold the earlier frame's bytes.
    Feed(Reply(proto::REPLY_SETTINGS, {0x1C, 0x20, 0, 0, 0x00, 0x64}));
    EXPECT_EQ(AmpState.targetCurrent, 100);
    EXPECT_EQ(AmpState.maxCurrent, 1000);
    EXPECT_EQ(AmpState.currentCmdSelect, 2);
}

TEST_F(RepliesTest, OutputReplyColoursTheSwitchAndBringsTheLinkUp)
{
    const struct {
        BYTE state;
        COLORREF color;
        const char* caption;
    } cases[] = {
        {1, RGB(255, 0, 0), "ON"},
        {0, RGB(245, 245, 245), "OFF"},
        {2, RGB(245, 245, 245), "OFF"},  // an unknown state changes neither colour nor caption
        {1, RGB(255, 0, 0), "ON"},
    };
    for (const auto& c : cases) {
        Feed(OutputReply(c.state));
        EXPECT_EQ(AmpState.outputOn, c.state);
        EXPECT_EQ(Text(IDC_OUTPUT_SWITCH), c.caption) << int(c.state);
        EXPECT_EQ(headless::Paint(Item(IDC_OUTPUT_SWITCH))[0].color, c.color) << int(c.state);
        EXPECT_TRUE(AmpState.linkUp);
        EXPECT_FALSE(Timer(TIMER_PROBE));
        EXPECT_EQ(Period(TIMER_POLL), 200u);
    }
}

TEST_F(RepliesTest, TargetCurrentAboveTheSliderRangeHoldsTheSliderAtItsEnd)
{
    Feed(TargetCurrentReply(500));  // no settings reply yet: the default range 0..100
    EXPECT_EQ(Text(IDC_TARGET_CURRENT), "500");
    EXPECT_EQ(AmpState.targetCurrent, 500);
    EXPECT_EQ(Item(IDC_CURRENT_SLIDER)->pos, 100);
}

TEST_F(RepliesTest, FrameBegunBeforeAReopenIsCompletedAfterIt)
{
    const auto frame = StatusReply(777, 7000, 7000, 100);
    Feed({frame.begin(), frame.begin() + 6});
    Click(IDC_OPEN_PORT);  // close
    Click(IDC_OPEN_PORT);  // open again: the framer is not reset
    Feed({frame.begin() + 6, frame.end()});
    EXPECT_EQ(Text(IDC_CURRENT_READ), "777");
}

}  // namespace
