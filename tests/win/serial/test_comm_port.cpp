// CCommPort and its monitor thread under Wine, against a pseudo-terminal whose far end the
// runner (pty_peer.py) plays.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "PortTestSupport.h"
#include "serial/CommPort.h"

namespace {

constexpr DWORD kArriveMs = 10000;
constexpr DWORD kStallMs = 5000;
constexpr DWORD kReturnMs = 10000;
constexpr UINT kPanelBufferSize = 512;
constexpr UINT kMissingPort = 231;
constexpr DWORD kHolderOpened = 0;

const Bytes kProbeFrame = {0xEF, 0xEF, 0x02, 0x02, 0xE2};
const Bytes kOutputQuery = {0xEF, 0xEF, 0x02, 0x25, 0x05};

const Bytes kSyncFrame = {0xEF, 0xEF, 0x02, 0x00, 0xE0};

struct OpenArgs {
    char parity = 'N';
    UINT dataBits = 8;
    UINT stopBits = 0;
    UINT baud = 9600;
    DWORD writeTotalTimeoutMultiplier = 1000;
    DWORD writeTotalTimeoutConstant = 1000;
};

// Threads running now that were not in before.
std::vector<DWORD> NewThreads(const std::vector<DWORD>& before)
{
    std::vector<DWORD> added;
    for (DWORD id : ThreadIds()) {
        if (std::find(before.begin(), before.end(), id) == before.end())
            added.push_back(id);
    }
    return added;
}

bool StartsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The report's frame around the system text, for the given label and port.
void ExpectReport(const std::string& text, const std::string& label, UINT port)
{
    const std::string head = "WARNING:  " + label + " Failed with the following error: \n";
    const std::string tail = "\nPort: " + std::to_string(port) + "\n";
    EXPECT_TRUE(StartsWith(text, head)) << text;
    EXPECT_TRUE(EndsWith(text, tail)) << text;
    EXPECT_GT(text.size(), head.size() + tail.size()) << "no system text: " << text;
}

class CommPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(port_, 0u) << "AMP_TEST_COM_PORT is not set: run through pty_peer.py";
        ASSERT_TRUE(peer_.IsConnected()) << "no line peer: run through pty_peer.py";
        ASSERT_NE(window_.hwnd(), nullptr);
        ASSERT_TRUE(peer_.StartOutput());
        ASSERT_TRUE(peer_.Discard());
    }

    BOOL Open(CCommPort& comm, const OpenArgs& args = OpenArgs())
    {
        return comm.Open(window_.hwnd(), port_, args.baud, args.parity, args.dataBits, args.stopBits,
                         EV_RXCHAR, kPanelBufferSize, 1000, 1000, 1000,
                         args.writeTotalTimeoutMultiplier, args.writeTotalTimeoutConstant);
    }

    void OpenAndMonitor(const OpenArgs& args = OpenArgs())
    {
        ASSERT_TRUE(Open(comm_, args));
        ASSERT_TRUE(comm_.StartMonitor());
        ASSERT_NO_FATAL_FAILURE(SyncWithWorker(comm_));
    }

    // The worker purges the line as it starts: bytes sent before that are lost by design. A
    // frame that reaches the peer shows the worker is past its start and in its loop.
    void SyncWithWorker(CCommPort& comm)
    {
        ASSERT_TRUE(comm.Write(kSyncFrame.data(), static_cast<UINT>(kSyncFrame.size())));
        ASSERT_EQ(Hex(peer_.Receive(kSyncFrame.size(), kArriveMs)), Hex(kSyncFrame));
    }

    bool ReceiveAtWindow(size_t count)
    {
        return PumpUntil([&] { return window_.bytes().size() >= count; }, kArriveMs);
    }

    // The peer sends bytes; returns once the worker is blocked handing the first one to the
    // window, which this thread does not take yet.
    void StallWorkerOnFirstByte(const Bytes& bytes)
    {
        ASSERT_TRUE(peer_.Send(bytes));
        ASSERT_TRUE(WaitForPendingSend(kStallMs)) << "the worker never handed over a byte";
    }

    void ExpectBurstArrives(const Bytes& burst)
    {
        window_.Clear();
        ASSERT_TRUE(peer_.Send(burst));
        ASSERT_TRUE(ReceiveAtWindow(burst.size())) << window_.bytes().size() << " of " << burst.size();
        EXPECT_EQ(Hex(window_.bytes()), Hex(burst));
    }

    UINT port_ = TestComPort();
    PeerLink peer_;
    RecordingWindow window_;
    CCommPort comm_;
};

TEST_F(CommPortTest, BurstReachesTheWindowInOrderAndComplete)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    const Bytes burst = AllByteValues(1024);
    ASSERT_NO_FATAL_FAILURE(ExpectBurstArrives(burst));
    for (LPARAM port : window_.ports())
        ASSERT_EQ(port, static_cast<LPARAM>(port_));
    EXPECT_TRUE(window_.others().empty()) << "only bytes are subscribed";
}

// The panel's pattern: a query goes out, the reply comes back, again and again.
TEST_F(CommPortTest, QueryAndReplyCyclesKeepWorking)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    const Bytes reply = {0xED, 0xFA, 0x0F, 0x80, 0x01, 0x2C, 0x1B, 0x58, 0x1F, 0x40,
                         0x09, 0xC4, 0x00, 0x64, 0x00, 0x00, 0x4A};
    for (int cycle = 0; cycle < 40; ++cycle) {
        SCOPED_TRACE(cycle);
        window_.Clear();
        ASSERT_TRUE(comm_.Write(kSyncFrame.data(), static_cast<UINT>(kSyncFrame.size())));
        ASSERT_EQ(Hex(peer_.Receive(kSyncFrame.size(), kArriveMs)), Hex(kSyncFrame));
        ASSERT_TRUE(peer_.Send(reply));
        ASSERT_TRUE(ReceiveAtWindow(reply.size())) << window_.bytes().size() << " of " << reply.size();
        ASSERT_EQ(Hex(window_.bytes()), Hex(reply));
    }
}

TEST_F(CommPortTest, WriteGoesOutWhole)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    const struct {
        const char* name;
        Bytes frame;
    } cases[] = {
        {"probe frame", kProbeFrame},
        {"one byte", {0x00}},
        {"full buffer", AllByteValues(kPanelBufferSize)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(comm_.Write(c.frame.data(), static_cast<UINT>(c.frame.size())));
        EXPECT_EQ(Hex(peer_.Receive(c.frame.size(), kArriveMs)), Hex(c.frame));
    }
}

TEST_F(CommPortTest, RefusedWritesSendNothing)
{
    const Bytes tooLong = AllByteValues(kPanelBufferSize + 1);
    EXPECT_FALSE(comm_.Write(kProbeFrame.data(), 5)) << "never opened";
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    EXPECT_FALSE(comm_.Write(tooLong.data(), static_cast<UINT>(tooLong.size()))) << "longer than the buffer";
    EXPECT_FALSE(comm_.Write(nullptr, 3)) << "no bytes";

    // Only the accepted frame reaches the line.
    ASSERT_TRUE(comm_.Write(kProbeFrame.data(), 5));
    EXPECT_EQ(Hex(peer_.Receive(tooLong.size() + 5, 1500)), Hex(kProbeFrame));

    comm_.Close();
    EXPECT_FALSE(comm_.Write(kProbeFrame.data(), 5)) << "closed";
}

TEST_F(CommPortTest, WritesNotYetTakenGoOutInOrderWithTheirSpacing)
{
    // The panel writes twice, 100 ms apart, while the worker is blocked handing it a byte:
    // neither write is lost, and the second still follows the first by 100 ms on the line.
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    ASSERT_NO_FATAL_FAILURE(StallWorkerOnFirstByte({0x55}));
    ASSERT_TRUE(comm_.Write(kProbeFrame.data(), 5));
    Sleep(100);
    ASSERT_TRUE(comm_.Write(kOutputQuery.data(), 5));
    ASSERT_TRUE(ReceiveAtWindow(1));
    EXPECT_EQ(Hex(peer_.Receive(5, 1500)), Hex(kProbeFrame));
    const DWORD first = GetTickCount();
    EXPECT_EQ(Hex(peer_.Receive(5, 1500)), Hex(kOutputQuery));
    EXPECT_GE(GetTickCount() - first, 80u) << "the second write kept its distance from the first";
}

TEST_F(CommPortTest, WriteDuringADrainWaitsUntilTheDrainEnds)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    const Bytes reply = AllByteValues(200);
    ASSERT_NO_FATAL_FAILURE(StallWorkerOnFirstByte(reply));
    ASSERT_TRUE(comm_.Write(kProbeFrame.data(), 5));

    // The write purges unread input: sent in the middle of the drain, it would cut the reply.
    ASSERT_TRUE(ReceiveAtWindow(reply.size())) << window_.bytes().size() << " of " << reply.size();
    EXPECT_EQ(Hex(window_.bytes()), Hex(reply));
    EXPECT_EQ(Hex(peer_.Receive(5, kArriveMs)), Hex(kProbeFrame));
}

TEST_F(CommPortTest, CloseCompletesWhileTheWorkerIsDeliveringAByte)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    ASSERT_NO_FATAL_FAILURE(StallWorkerOnFirstByte(AllByteValues(10)));
    {
        Watchdog watchdog("Close() during a delivery", kReturnMs);
        comm_.Close();
    }
    PumpPending();
    EXPECT_EQ(Hex(window_.bytes()), "00") << "the byte in hand is delivered, then the worker stops";
    EXPECT_FALSE(comm_.IsOpen());
}

TEST_F(CommPortTest, SecondOpenWhileMonitoredStopsTheWorkerFirst)
{
    // One cycle first, so threads Wine starts once and keeps are there before the count.
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    comm_.Close();
    const std::vector<DWORD> before = ThreadIds();
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    const std::vector<DWORD> started = NewThreads(before);
    ASSERT_FALSE(started.empty()) << "no worker thread";

    ASSERT_NO_FATAL_FAILURE(StallWorkerOnFirstByte(AllByteValues(10)));
    {
        Watchdog watchdog("Open() of a monitored port", kReturnMs);
        ASSERT_TRUE(Open(comm_));
    }
    EXPECT_EQ(Hex(window_.bytes()), "00") << "the byte in hand is delivered, then the worker stops";
    EXPECT_TRUE(PumpUntil([&] { return NewThreads(before).empty(); }, kReturnMs))
        << "the first worker is still running";

    ASSERT_TRUE(comm_.StartMonitor());
    ASSERT_NO_FATAL_FAILURE(SyncWithWorker(comm_));
    ASSERT_NO_FATAL_FAILURE(ExpectBurstArrives(AllByteValues(256)));
}

TEST_F(CommPortTest, StartMonitorNeedsAnOpenPortWithoutAWorker)
{
    EXPECT_FALSE(comm_.StartMonitor()) << "closed";
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    EXPECT_FALSE(comm_.StartMonitor()) << "already monitored";
    ASSERT_NO_FATAL_FAILURE(ExpectBurstArrives(AllByteValues(64)));
}

TEST_F(CommPortTest, CloseRightAfterStartMonitorLeavesNoWorkerBehind)
{
    ReportWatcher reports;
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    comm_.Close();
    const std::vector<DWORD> before = ThreadIds();
    for (int cycle = 0; cycle < 10; ++cycle) {
        ASSERT_TRUE(Open(comm_));
        ASSERT_TRUE(comm_.StartMonitor());
        comm_.Close();
    }
    EXPECT_TRUE(PumpUntil([&] { return NewThreads(before).empty(); }, kReturnMs))
        << "a worker outlived its port";
    EXPECT_EQ(reports.Texts().size(), 0u);
}

TEST_F(CommPortTest, MissingPortFailsAndLeavesTheObjectReusable)
{
    EXPECT_FALSE(comm_.Open(window_.hwnd(), kMissingPort, 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000,
                            1000, 1000, 1000, 1000));
    EXPECT_FALSE(comm_.IsOpen());
    EXPECT_FALSE(comm_.StartMonitor());
    EXPECT_FALSE(comm_.Write(kProbeFrame.data(), 5));

    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    ASSERT_NO_FATAL_FAILURE(ExpectBurstArrives(AllByteValues(64)));
    ASSERT_TRUE(comm_.Write(kProbeFrame.data(), 5));
    EXPECT_EQ(Hex(peer_.Receive(5, kArriveMs)), Hex(kProbeFrame));
}

// A pseudo-terminal keeps the speed and the stop bits; Linux forces 8 data bits and no parity
// on it, so the parity letters are checked here only for being accepted without a report.
TEST_F(CommPortTest, LineSettingsFollowTheArguments)
{
    const struct {
        OpenArgs args;
        const char* line;
    } cases[] = {
        {{'N', 8, 0, 9600}, "LINE baud=9600 stopbits=1 "},
        {{'O', 8, 0, 9600}, "LINE baud=9600 stopbits=1 "},
        {{'E', 8, 0, 9600}, "LINE baud=9600 stopbits=1 "},
        {{'M', 8, 0, 9600}, "LINE baud=9600 stopbits=1 "},
        {{'S', 8, 0, 9600}, "LINE baud=9600 stopbits=1 "},
        {{'X', 8, 0, 9600}, "LINE baud=9600 stopbits=1 "},
        {{'N', 8, 2, 19200}, "LINE baud=19200 stopbits=2 "},
        {{'N', 5, 1, 9600}, "LINE baud=9600 stopbits=2 "},  // one and a half: the long stop bit
        {{'N', 7, 7, 4800}, "LINE baud=4800 stopbits=1 "},  // a code the line does not know
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(1, c.args.parity) + " " + std::to_string(c.args.dataBits) + " " +
                     std::to_string(c.args.stopBits) + " " + std::to_string(c.args.baud));
        ReportWatcher reports;
        ASSERT_TRUE(Open(comm_, c.args));
        const std::string line = peer_.LineSettings();
        EXPECT_TRUE(StartsWith(line, c.line)) << line;
        comm_.Close();
        EXPECT_EQ(reports.Texts().size(), 0u);
    }
}

TEST_F(CommPortTest, SoftwareFlowControlIsOffSoEveryByteValueArrives)
{
    // A line that comes with XON/XOFF on (a new Linux terminal does) would lose 0x11 and 0x13.
    ASSERT_EQ(peer_.Ask("IXON"), "OK");
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
    EXPECT_NE(peer_.LineSettings().find("ixon=0"), std::string::npos) << peer_.LineSettings();
    ASSERT_NO_FATAL_FAILURE(ExpectBurstArrives(AllByteValues(256)));
}

TEST_F(CommPortTest, ConfigurationFailureIsReportedAndThePortStaysOpen)
{
    ReportWatcher reports;
    OpenArgs nineDataBits;
    nineDataBits.dataBits = 9;
    {
        Watchdog watchdog("Open() with a failing configuration", kReturnMs);
        ASSERT_TRUE(Open(comm_, nineDataBits));
    }
    ASSERT_EQ(reports.Texts().size(), 1u);
    ExpectReport(reports.Texts()[0], "SetCommState()", port_);

    EXPECT_TRUE(comm_.IsOpen());
    ASSERT_TRUE(comm_.StartMonitor());
    ASSERT_TRUE(comm_.Write(kProbeFrame.data(), 5));
    EXPECT_EQ(Hex(peer_.Receive(5, kArriveMs)), Hex(kProbeFrame));
}

TEST_F(CommPortTest, WriteFailureIsReportedOnceAndLaterWritesWork)
{
    ReportWatcher reports;
    OpenArgs shortWriteTimeout;
    shortWriteTimeout.writeTotalTimeoutMultiplier = 0;
    shortWriteTimeout.writeTotalTimeoutConstant = 1;  // second
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor(shortWriteTimeout));

    ASSERT_TRUE(peer_.StopOutput());
    ASSERT_TRUE(comm_.Write(kProbeFrame.data(), 5));
    ASSERT_TRUE(reports.WaitForReports(1, kReturnMs)) << "the failed write was not reported";
    ExpectReport(reports.Texts()[0], "GetOverlappedResults() in WriteFile()", port_);

    ASSERT_TRUE(peer_.StartOutput());
    ASSERT_TRUE(peer_.Discard());
    ASSERT_TRUE(comm_.Write(kOutputQuery.data(), 5));
    EXPECT_EQ(Hex(peer_.Receive(5, kArriveMs)), Hex(kOutputQuery));
    ASSERT_NO_FATAL_FAILURE(ExpectBurstArrives(AllByteValues(32)));
    EXPECT_EQ(reports.Texts().size(), 1u) << "one report per failure";
}

TEST_F(CommPortTest, CloseAbandonsAWriteHeldUpByFlowControl)
{
    ReportWatcher reports;
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());  // the panel's timeouts: over an hour for a frame
    ASSERT_TRUE(peer_.StopOutput());
    ASSERT_TRUE(comm_.Write(kProbeFrame.data(), 5));
    ASSERT_EQ(peer_.Receive(5, 500).size(), 0u) << "the line's output was not held";
    {
        Watchdog watchdog("Close() with a write held up", kReturnMs);
        comm_.Close();
    }
    EXPECT_EQ(reports.Texts().size(), 0u) << "closing is not a failure to report";

    ASSERT_TRUE(peer_.StartOutput());
    ASSERT_TRUE(peer_.Discard());
    ASSERT_NO_FATAL_FAILURE(OpenAndMonitor());
}

// Wine does not refuse a second open of a serial device while it is open, so the release is
// seen from Linux: no process keeps the line open once the port is closed.
TEST_F(CommPortTest, ClosingReleasesThePortForAnotherProgram)
{
    const struct {
        const char* name;
        void (*release)(std::unique_ptr<CCommPort>&);
    } cases[] = {
        {"Close", [](std::unique_ptr<CCommPort>& comm) { comm->Close(); }},
        {"destructor", [](std::unique_ptr<CCommPort>& comm) { comm.reset(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto comm = std::make_unique<CCommPort>();
        ASSERT_TRUE(Open(*comm));
        ASSERT_TRUE(comm->StartMonitor());
        ASSERT_NO_FATAL_FAILURE(SyncWithWorker(*comm));
        EXPECT_GT(peer_.Holders(), 0);

        c.release(comm);
        EXPECT_TRUE(PumpUntil([&] { return peer_.Holders() == 0; }, kReturnMs))
            << peer_.Holders() << " processes still hold the line";
        EXPECT_EQ(RunPortHolder(port_), kHolderOpened);
    }
}

}  // namespace
