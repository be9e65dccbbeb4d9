// Figures for the port engine under Wine: how fast it hands received bytes to a window, and
// what an idle monitored port costs. Run with and without the pty shim (see CMakeLists.txt).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "PortTestSupport.h"
#include "serial/CommPort.h"

namespace {

constexpr size_t kBurstBytes = 4800;  // five seconds of the 9600-baud line
constexpr DWORD kArriveMs = 60000;
constexpr int kIdleWindowMs = 5000;
constexpr double kLineBytesPerSecond = 960.0;

struct CpuShare {
    double test = -1;
    double server = -1;
};

CpuShare MeasureCpu(PeerLink& peer, int milliseconds)
{
    std::istringstream answer(peer.Ask("CPU " + std::to_string(milliseconds)));
    std::string word;
    CpuShare share;
    answer >> word >> share.test >> share.server;
    return share;
}

void Print(const std::string& line)
{
    std::printf("[ figure   ] %s\n", line.c_str());
    std::fflush(stdout);
}

class CommPortBench : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(port_, 0u) << "run through pty_peer.py";
        ASSERT_TRUE(peer_.IsConnected()) << "run through pty_peer.py";
        ASSERT_TRUE(comm_.Open(window_.hwnd(), port_, 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000,
                               1000, 1000, 1000));
        ASSERT_TRUE(comm_.StartMonitor());
    }

    UINT port_ = TestComPort();
    PeerLink peer_;
    RecordingWindow window_;
    CCommPort comm_;
};

TEST_F(CommPortBench, DeliveryRateToAWindow)
{
    const Bytes burst = AllByteValues(kBurstBytes);
    ASSERT_TRUE(peer_.Send(burst));
    ASSERT_TRUE(PumpUntil([&] { return window_.bytes().size() >= burst.size(); }, kArriveMs))
        << window_.bytes().size() << " of " << burst.size();
    ASSERT_EQ(Hex(window_.bytes()), Hex(burst));

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double seconds =
        double(window_.arrivals().back() - window_.arrivals().front()) / double(frequency.QuadPart);
    ASSERT_GT(seconds, 0.0);
    const double rate = double(burst.size() - 1) / seconds;
    char line[160];
    std::snprintf(line, sizeof line, "delivered %zu bytes in %.3f s: %.0f bytes/s (%.1f x the line's 960/s)",
                  burst.size(), seconds, rate, rate / kLineBytesPerSecond);
    Print(line);
    RecordProperty("bytes_per_second", static_cast<int>(rate));
    EXPECT_GT(rate, kLineBytesPerSecond) << "the engine cannot keep up with the line";
}

TEST_F(CommPortBench, IdleMonitoredPortCpu)
{
    const CpuShare idle = MeasureCpu(peer_, kIdleWindowMs);
    ASSERT_GE(idle.test, 0.0) << "the runner could not measure the test process";
    char line[160];
    std::snprintf(line, sizeof line,
                  "idle monitored port over %d ms: test process %.1f%% of a core, wineserver %.1f%%",
                  kIdleWindowMs, idle.test, idle.server);
    Print(line);
    RecordProperty("idle_cpu_test_permille", static_cast<int>(idle.test * 10));
    RecordProperty("idle_cpu_server_permille", static_cast<int>(idle.server * 10));
}

}  // namespace
