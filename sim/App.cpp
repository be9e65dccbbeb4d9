#include "sim/App.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "port/FdIo.h"
#include "sim/Text.h"

namespace sim {

namespace {

// How long to leave a hung-up pty alone before looking at it again.
constexpr SimTime kHangupRetry = Ms(50);
// The model is brought up to date at least this often, so no single step catches up long.
constexpr SimTime kModelTick = Ms(1000);

timespec ToTimespec(SimTime ns)
{
    return {static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
}

}  // namespace

App::App(const Options& opts) : m_options(opts), m_engine(opts.setup, m_log)
{
    clock_gettime(CLOCK_MONOTONIC, &m_start);
}

App::~App()
{
    CloseLine();
    if (m_signalFd >= 0)
        ::close(m_signalFd);
    if (m_logFile != nullptr)
        std::fclose(m_logFile);
}

SimTime App::Now() const
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - m_start.tv_sec) * kNsPerS + (now.tv_nsec - m_start.tv_nsec);
}

int App::Run()
{
    std::string error;
    if (!Start(error)) {
        std::fprintf(stderr, "ampsim: error: %s\n", PrintableText(error).c_str());
        return 1;
    }
    Loop();
    m_log.Event(Now(), "stop");
    return 0;
}

bool App::Start(std::string& error)
{
    if (!OpenLog(error) || !OpenSignals(error))
        return false;
    if (!m_options.controlPath.empty() && !m_control.Listen(m_options.controlPath, error))
        return false;
    if (m_options.useStdin)
        m_control.WatchStdin();
    // Byte slots are about 1 ms apart; the default 50 us timer slack would stretch every one.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    m_log.Event(Now(), "start");
    return Plug(error);
}

bool App::OpenLog(std::string& error)
{
    // A log that fails later (disk full, reader gone) is reported once; the run goes on.
    m_log.OnWriteError([](const std::string& why) {
        std::fprintf(stderr, "ampsim: log write failed: %s\n", PrintableText(why).c_str());
    });
    if (!m_options.logPath.empty()) {
        m_logFile = std::fopen(m_options.logPath.c_str(), "a");
        if (m_logFile == nullptr) {
            error = "cannot open the log " + m_options.logPath + ": " + std::strerror(errno);
            return false;
        }
        m_log.AddFile(m_logFile, m_options.logPath);
    }
    if (m_options.verbose)
        m_log.AddFile(stderr, "standard error");
    return true;
}

bool App::OpenSignals(std::string& error)
{
    // The signals are read from a descriptor in the loop; nothing runs in a handler. SIGHUP (the
    // terminal closed) cleans up as the others do; one ignored, as under nohup, stays ignored.
    sigset_t set;
    sigemptyset(&set);
    for (const int stop : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, stop);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        error = std::string("cannot block signals: ") + std::strerror(errno);
        return false;
    }
    m_signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_signalFd < 0) {
        error = std::string("cannot watch signals: ") + std::strerror(errno);
        return false;
    }
    // A control client that hangs up mid-reply must not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool App::Plug(std::string& error)
{
    const bool opened
        = m_options.devicePath.empty() ? m_line.OpenPty(error) : m_line.OpenDevice(m_options.devicePath, error);
    if (!opened)
        return false;
    if (!m_options.linkPath.empty() && !m_link.Create(m_options.linkPath, m_line.Path(), error)) {
        m_line.Close();
        return false;
    }
    m_hungUntil = 0;
    m_writeStalled = false;
    std::string event = "line " + m_line.Path();
    if (!m_options.linkPath.empty())
        event += " link " + m_options.linkPath;
    m_log.Event(Now(), event);
    // Scripts read this line to find the device.
    port::WriteAll(STDOUT_FILENO, "ampsim: line " + m_line.Path() + "\n");
    return true;
}

void App::CloseLine()
{
    m_engine.DropLine();
    m_link.Remove();
    m_line.Close();
}

std::string App::Unplug(SimTime now)
{
    CloseLine();
    m_log.Event(now, "unplug");
    return {};
}

std::string App::Replug(SimTime now)
{
    m_log.Event(now, "replug");
    std::string error;
    if (!Plug(error)) {
        m_log.Event(Now(), "replug failed: " + error);
        return error;
    }
    return {};
}

std::string App::Hold(SimTime now, bool held)
{
    if (!Plugged())
        return "unplugged";
    if (!m_line.IsPty())
        return "hold works on a pseudo-terminal only";
    if (!m_line.SuspendPanelOutput(held))
        return std::string("cannot hold the line: ") + std::strerror(errno);
    m_log.Event(now, held ? "hold on" : "hold off");
    return {};
}

void App::Quit(SimTime now)
{
    m_log.Event(now, "quit");
    m_quitting = true;
}

void App::Loop()
{
    std::vector<pollfd> fds;
    while (!m_quitting) {
        SimTime now = Now();
        m_engine.Model().AdvanceTo(now);
        m_engine.CheckRxQuiet(now);
        SendDue(now);

        const bool watchLine = m_line.IsOpen() && now >= m_hungUntil;
        fds.clear();
        fds.push_back({m_signalFd, POLLIN, 0});
        fds.push_back({watchLine ? m_line.Fd() : -1, POLLIN, 0});
        m_control.AddPollFds(fds);

        const SimTime lineDue = m_line.IsOpen() ? std::min(m_engine.NextTxTime(), m_engine.RxQuietTime()) : kNever;
        SimTime wake = std::min(lineDue, now + kModelTick);
        if (m_line.IsOpen() && !watchLine)
            wake = std::min(wake, m_hungUntil);
        const timespec timeout = ToTimespec(std::max<SimTime>(0, wake - now));
        if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) {
            m_log.Event(Now(), std::string("poll failed: ") + std::strerror(errno));
            return;
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(m_signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                m_log.Event(Now(), std::string("signal ") + strsignal(static_cast<int>(info.ssi_signo)));
            return;
        }
        if (fds[1].revents != 0)
            ReadLine();
        m_control.Service(
            fds, [this](const std::string& command) { return ExecuteControl(command, Now(), m_engine, *this); });
        if (m_control.InputEnded() && !m_quitting) {
            // Commands from a file or a pipe: their end is the end of the run.
            m_log.Event(Now(), "end of input");
            m_quitting = true;
        }
    }
}

void App::SendDue(SimTime now)
{
    std::uint8_t byte = 0;
    if (!m_line.IsOpen() || !m_engine.TakeTxByte(now, byte))
        return;
    const ssize_t n = ::write(m_line.Fd(), &byte, 1);
    if (n == 1) {
        m_writeStalled = false;
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EIO) && m_line.IsPty()) {
        // Nobody is reading the pty and its buffer is full: the byte is lost, as on a real line.
        if (!m_writeStalled)
            m_log.Event(now, "line not taking bytes: dropped");
        m_writeStalled = true;
        return;
    }
    LineFailed(now, std::string("write failed: ") + std::strerror(errno));
}

void App::ReadLine()
{
    std::uint8_t buf[256];
    // The frame log's RX time is the moment the bytes were taken from the line.
    const SimTime t = Now();
    const ssize_t n = ::read(m_line.Fd(), buf, sizeof buf);
    if (n > 0) {
        m_engine.Receive(t, buf, static_cast<std::size_t>(n));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (m_line.IsPty()) {
        // The slave side hung up (we hold a slave open, so this is rare): look again shortly.
        m_hungUntil = t + kHangupRetry;
        return;
    }
    LineFailed(t, n == 0 ? std::string("device closed") : std::string("read failed: ") + std::strerror(errno));
}

void App::LineFailed(SimTime now, const std::string& what)
{
    m_log.Event(now, "line lost: " + what);
    std::fprintf(stderr, "ampsim: line lost: %s\n", what.c_str());
    CloseLine();
}

}  // namespace sim
