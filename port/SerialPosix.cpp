// The serial port over termios.
#include "port/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "port/FdIo.h"
#include "port/Holders.h"
#include "port/LockFile.h"
#include "port/RawLine.h"

namespace port {

struct SerialPort::Os {
    LockFile lockFile;  // released last, once the device is closed
    int fd = -1;
    bool locked = false;      // our flock on the device
    bool exclusive = false;   // TIOCEXCL set by us
    bool configured = false;  // saved holds the settings to put back
    termios saved{};
};

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<bool>* stopFlag = nullptr;

void OnStopSignal(int)
{
    if (stopFlag)
        stopFlag->store(true);
}

std::string Reason(const std::string& name, int error)
{
    return name + ": " + std::strerror(error);
}

// Names the programs that have the device open, or else the one a lock file names.
std::string Busy(const std::string& name, const std::string& realPath, pid_t lockHolder)
{
    std::vector<Holder> holders = OtherHolders(realPath);
    if (holders.empty() && lockHolder > 0)
        holders.push_back({lockHolder, CommandOf(lockHolder)});
    if (holders.empty())
        return name + " is busy: another program holds it";
    return name + " is busy: held by " + DescribeHolders(holders);
}

// Draining first lets a frame already written finish at the line's speed. A stop signal (a second
// Ctrl+C, SIGTERM) coming while the drain waits would end the call with EINTR and leave the line as
// we set it: the stop signals wait until the settings are back, and an interrupted call is repeated.
void RestoreLine(int fd, const termios& saved)
{
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    for (int signal : kStopSignals)
        sigaddset(&stops, signal);
    sigprocmask(SIG_BLOCK, &stops, &before);
    while (tcsetattr(fd, TCSADRAIN, &saved) != 0 && errno == EINTR) {}
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

SerialPort::SerialPort(std::unique_ptr<Os> os) : m_os(std::move(os)) {}

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& name, std::string& error, std::string& note)
{
    // The lock file is named after the device itself, whatever link leads to it.
    char resolved[PATH_MAX];
    if (!realpath(name.c_str(), resolved)) {
        error = Reason(name, errno);
        return nullptr;
    }
    const std::string real = resolved;
    // From here the destructor gives back whatever has been taken.
    std::unique_ptr<SerialPort> port(new SerialPort(std::make_unique<Os>()));
    Os& os = *port->m_os;

    // First what every program that honours a lock looks at, then the device itself: flock keeps
    // out other ampctl runs and the programs that flock too, TIOCEXCL other opens (but root's).
    const std::string folder = LockFolder();
    const LockResult lock = os.lockFile.Take(folder, real);
    if (lock.outcome == LockOutcome::kHeld) {
        error = Busy(name, real, lock.holder);
        return nullptr;
    }
    if (lock.outcome == LockOutcome::kFailed) {
        error = name + ": " + lock.reason;
        return nullptr;
    }
    if (lock.outcome == LockOutcome::kNoFolder)
        note = "note: " + folder + " " + lock.reason + ": no lock file taken for " + name;
    // Non-blocking so the open does not wait for a carrier.
    os.fd = open(real.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (os.fd < 0) {
        error = errno == EBUSY ? Busy(name, real, 0) : Reason(name, errno);
        return nullptr;
    }
    if (flock(os.fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? Busy(name, real, 0) : Reason(name, errno);
        return nullptr;
    }
    os.locked = true;
    if (tcgetattr(os.fd, &os.saved) != 0) {
        error = name + ": not a serial port (" + std::strerror(errno) + ")";
        return nullptr;
    }
    if (ioctl(os.fd, TIOCEXCL) != 0) {
        error = Reason(name, errno);
        return nullptr;
    }
    os.exclusive = true;
    // The programs that take none of those show only as open descriptors of the device; one found
    // now, before a setting is changed or a byte written, means the line is not ours.
    const std::vector<Holder> others = OtherHolders(real);
    if (!others.empty()) {
        error = name + " is busy: held by " + DescribeHolders(others);
        return nullptr;
    }

    // Reads return at once with what is there; waits are done with poll.
    termios line = os.saved;
    if (!MakeRawLine(line, 0) || tcsetattr(os.fd, TCSANOW, &line) != 0) {
        error = name + ": cannot set 9600 8N1 (" + std::strerror(errno) + ")";
        return nullptr;
    }
    os.configured = true;
    const int flags = fcntl(os.fd, F_GETFL);
    if (flags < 0 || fcntl(os.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = Reason(name, errno);
        return nullptr;
    }
    tcflush(os.fd, TCIOFLUSH);
    return port;
}

SerialPort::~SerialPort()
{
    Os& os = *m_os;
    if (os.configured)
        RestoreLine(os.fd, os.saved);
    if (os.exclusive)
        ioctl(os.fd, TIOCNXCL);
    if (os.locked)
        flock(os.fd, LOCK_UN);
    CloseFd(os.fd);
}

int SerialPort::EventDescriptor()
{
    termios t{};
    if (tcgetattr(m_os->fd, &t) == 0) {
        t.c_cc[VMIN] = 1;
        tcsetattr(m_os->fd, TCSANOW, &t);
    }
    const int flags = fcntl(m_os->fd, F_GETFL);
    if (flags >= 0)
        fcntl(m_os->fd, F_SETFL, flags | O_NONBLOCK);
    return m_os->fd;
}

bool SerialPort::Write(const std::uint8_t* bytes, std::size_t n)
{
    tcflush(m_os->fd, TCIFLUSH);
    return WriteAll(m_os->fd, bytes, n);  // a frame once begun is finished
}

int SerialPort::Read(std::uint8_t* into, std::size_t max, int timeoutMs)
{
    pollfd p{m_os->fd, POLLIN, 0};
    const int ready = poll(&p, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;
    if ((p.revents & POLLIN) == 0)
        return -1;  // hung up (adapter pulled out, the other end of a pty gone) or invalid
    const ssize_t n = read(m_os->fd, into, max);
    if (n < 0)
        return (errno == EINTR || errno == EAGAIN) ? 0 : -1;
    if (n == 0 && (p.revents & POLLHUP) != 0)
        return -1;
    return static_cast<int>(n);
}

std::vector<std::string> ListSerialPorts()
{
    namespace fs = std::filesystem;
    std::vector<std::string> ports;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        // Consoles and pseudo-terminals have no device behind them.
        if (!fs::exists(entry.path() / "device", ec))
            continue;
        const std::string name = entry.path().filename().string();
        // The kernel keeps ttyS slots for UARTs that are not there; their type reads 0.
        if (name.rfind("ttyS", 0) == 0) {
            int type = 0;
            std::ifstream(entry.path() / "type") >> type;
            if (type == 0)
                continue;
        }
        ports.push_back("/dev/" + name);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

void CatchStopRequests(std::atomic<bool>& stop)
{
    stopFlag = &stop;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait in poll ends at once
    for (int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace port
