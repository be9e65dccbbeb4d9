#include "sim/App.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "sim/Text.h"

namespace sim {

namespace {

// How long to leave a hung-up pty alone before looking at it again.
constexpr SimTime HANGUP_RETRY = Ms(50);
// The model is brought up to date at least this often, so no single step catches up long.
constexpr SimTime MODEL_TICK = Ms(1000);

timespec ToTimespec(SimTime ns)
{
    return {static_cast<time_t>(ns / NS_PER_S), static_cast<long>(ns % NS_PER_S)};
}

}  // namespace

App::App(const Options& opts) : options(opts), engine(opts.setup, log)
{
    clock_gettime(CLOCK_MONOTONIC, &start);
}

App::~App()
{
    CloseLine();
    if (signalFd >= 0)
        ::close(signalFd);
    if (logFile != nullptr)
        std::fclose(logFile);
}

SimTime App::Now() const
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * NS_PER_S + (now.tv_nsec - start.tv_nsec);
}

int App::Run()
{
    std::string error;
    if (!Start(error)) {
        std::fprintf(stderr, "ampsim: error: %s\n", PrintableText(error).c_str());
        return 1;
    }
    Loop();
    log.Event(Now(), "stop");
    return 0;
}

bool App::Start(std::string& error)
{
    if (!OpenLog(error) || !OpenSignals(error))
        return false;
    if (!options.controlPath.empty() && !control.Listen(options.controlPath, error))
        return false;
    if (options.useStdin)
        control.WatchStdin();
    // Byte slots are about 1 ms apart; the default 50 us timer slack would stretch every one.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    log.Event(Now(), "start");
    return Plug(error);
}

bool App::OpenLog(std::string& error)
{
    // A log that fails later (disk full, reader gone) is reported once; the run goes on.
    log.OnWriteError([](const std::string& why) {
        std::fprintf(stderr, "ampsim: log write failed: %s\n", PrintableText(why).c_str());
    });
    if (!options.logPath.empty()) {
        logFile = std::fopen(options.logPath.c_str(), "a");
        if (logFile == nullptr) {
            error = "cannot open the log " + options.logPath + ": " + std::strerror(errno);
            return false;
        }
        log.AddFile(logFile, options.logPath);
    }
    if (options.verbose)
        log.AddFile(stderr, "standard error");
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
    signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        error = std::string("cannot watch signals: ") + std::strerror(errno);
        return false;
    }
    // A control client that hangs up mid-reply must not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool App::Plug(std::string& error)
{
    const bool opened = options.devicePath.empty() ? line.OpenPty(error) : line.OpenDevice(options.devicePath, error);
    if (!opened)
        return false;
    if (!options.linkPath.empty() && !link.Create(options.linkPath, line.Path(), error)) {
        line.Close();
        return false;
    }
    hungUntil = 0;
    writeStalled = false;
    std::string event = "line " + line.Path();
    if (!options.linkPath.empty())
        event += " link " + options.linkPath;
    log.Event(Now(), event);
    // Scripts read this line to find the device.
    WriteAll(STDOUT_FILENO, "ampsim: line " + line.Path() + "\n");
    return true;
}

void App::CloseLine()
{
    engine.DropLine();
    link.Remove();
    line.Close();
}

std::string App::Unplug(SimTime now)
{
    CloseLine();
    log.Event(now, "unplug");
    return {};
}

std::string App::Replug(SimTime now)
{
    log.Event(now, "replug");
    std::string error;
    if (!Plug(error)) {
        log.Event(Now(), "replug failed: " + error);
        return error;
    }
    return {};
}

void App::Quit(SimTime now)
{
    log.Event(now, "quit");
    quitting = true;
}

void App::Loop()
{
    std::vector<pollfd> fds;
    while (!quitting) {
        SimTime now = Now();
        engine.Model().AdvanceTo(now);
        engine.CheckRxQuiet(now);
        SendDue(now);

        const bool watchLine = line.IsOpen() && now >= hungUntil;
        fds.clear();
        fds.push_back({signalFd, POLLIN, 0});
        fds.push_back({watchLine ? line.Fd() : -1, POLLIN, 0});
        control.AddPollFds(fds);

        const SimTime lineDue = line.IsOpen() ? std::min(engine.NextTxTime(), engine.RxQuietTime()) : NEVER;
        SimTime wake = std::min(lineDue, now + MODEL_TICK);
        if (line.IsOpen() && !watchLine)
            wake = std::min(wake, hungUntil);
        const timespec timeout = ToTimespec(std::max<SimTime>(0, wake - now));
        if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) {
            log.Event(Now(), std::string("poll failed: ") + std::strerror(errno));
            return;
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                log.Event(Now(), std::string("signal ") + strsignal(static_cast<int>(info.ssi_signo)));
            return;
        }
        if (fds[1].revents != 0)
            ReadLine();
        control.Service(
            fds, [this](const std::string& command) { return ExecuteControl(command, Now(), engine, *this); });
        if (control.InputEnded() && !quitting) {
            // Commands from a file or a pipe: their end is the end of the run.
            log.Event(Now(), "end of input");
            quitting = true;
        }
    }
}

void App::SendDue(SimTime now)
{
    std::uint8_t byte = 0;
    if (!line.IsOpen() || !engine.TakeTxByte(now, byte))
        return;
    const ssize_t n = ::write(line.Fd(), &byte, 1);
    if (n == 1) {
        writeStalled = false;
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EIO) && line.IsPty()) {
        // Nobody is reading the pty and its buffer is full: the byte is lost, as on a real line.
        if (!writeStalled)
            log.Event(now, "line not taking bytes: dropped");
        writeStalled = true;
        return;
    }
    LineFailed(now, std::string("write failed: ") + std::strerror(errno));
}

void App::ReadLine()
{
    std::uint8_t buf[256];
    // The frame log's RX time is the moment the bytes were taken from the line.
    const SimTime t = Now();
    const ssize_t n = ::read(line.Fd(), buf, sizeof buf);
    if (n > 0) {
        engine.Receive(t, buf, static_cast<std::size_t>(n));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (line.IsPty()) {
        // The slave side hung up (we hold a slave open, so this is rare): look again shortly.
        hungUntil = t + HANGUP_RETRY;
        return;
    }
    LineFailed(t, n == 0 ? std::string("device closed") : std::string("read failed: ") + std::strerror(errno));
}

void App::LineFailed(SimTime now, const std::string& what)
{
    log.Event(now, "line lost: " + what);
    std::fprintf(stderr, "ampsim: line lost: %s\n", what.c_str());
    CloseLine();
}

}  // namespace sim
