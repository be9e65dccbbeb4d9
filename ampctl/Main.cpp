// ampctl: the amplifier from scripts. Parses the command line, opens the port or connects to ampd
// (a port of the form tcp://HOST:PORT), runs one command and maps its outcome to the exit code.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ampctl/Commands.h"
#include "ampctl/SerialLink.h"
#include "ampctl/ServerLink.h"
#include "ampctl/ServerSession.h"
#include "port/SerialPort.h"

namespace {

using namespace ampctl;
using port::CatchStopRequests;
using port::ListSerialPorts;
using port::SerialPort;

void Error(const std::string& line)
{
    std::fprintf(stderr, "ampctl: %s\n", line.c_str());
    std::fflush(stderr);
}

// One write per line, flushed at once, so a reader never sees half a line. False once standard
// output is gone (a closed pipe).
bool Print(const std::string& text)
{
    const std::string line = text + "\n";
    return std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0;
}

class StandardStreams : public Console {
public:
    bool Print(const std::string& text) override { return ::Print(text); }
    void Error(const std::string& line) override { ::Error(line); }
    std::chrono::system_clock::time_point Now() override { return std::chrono::system_clock::now(); }
};

bool NeedsControl(CommandKind kind)
{
    return kind == CommandKind::kSetCurrent || kind == CommandKind::kSetPower || kind == CommandKind::kMode
        || kind == CommandKind::kOutput || kind == CommandKind::kClearAlarms;
}

int ThroughServer(const Options& options, const std::atomic<bool>& stop)
{
    ServerAddress address;
    std::string error;
    ParseServerAddress(options.port, address, error);  // checked with the usage
    std::string token;
    bool tokenGiven = false;
    // The token is read only where it is used, and never shown.
    if (NeedsControl(options.command)
        && !LoadToken(options.tokenFile, std::getenv("AMPCTL_TOKEN"), token, tokenGiven, error)) {
        Error(error);
        return kExitUsage;
    }
    const int timeoutMs = static_cast<int>(std::lround(options.timeoutS * 1000));
    const std::unique_ptr<ServerLink> link = ServerLink::Connect(address, timeoutMs, stop, error);
    if (!link) {
        Error(stop ? "interrupted" : "cannot reach ampd at " + options.port + ": " + error);
        return stop ? kExitNoAnswer : kExitPort;
    }
    engine::SteadyClock clock;
    ServerSession session(*link, clock, stop, timeoutMs, options.port, token);
    StandardStreams console;
    return RunCommand(options, session, console);
}

int OnSerialPort(const Options& options, const std::atomic<bool>& stop)
{
    std::string error;
    std::string note;
    const std::unique_ptr<SerialPort> port = SerialPort::Open(options.port, error, note);
    if (!note.empty())
        Error(note);
    if (!port) {
        Error(error);
        return kExitPort;
    }
    engine::SteadyClock clock;
    SerialLink link(*port, clock, stop, static_cast<int>(std::lround(options.timeoutS * 1000)));
    StandardStreams console;
    return RunCommand(options, link, console);
}

int Run(int argc, char** argv)
{
    const ParseResult parsed
        = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), std::getenv("AMPCTL_PORT"));
    switch (parsed.outcome) {
    case Parsed::kHelp:
        Print(kUsage);
        return kExitDone;
    case Parsed::kVersion:
        Print("ampctl " AMPCTL_VERSION);
        return kExitDone;
    case Parsed::kUsageError:
        Error(parsed.error + " (ampctl --help)");
        return kExitUsage;
    case Parsed::kRun:
        break;
    }
    const Options& options = parsed.options;

    // This computer's serial ports, whatever the port given: ampd's are its own.
    if (options.command == CommandKind::kPorts) {
        for (const std::string& name : ListSerialPorts())
            Print(name);
        return kExitDone;
    }
    const std::string usage = UsageError(options);
    if (!usage.empty()) {
        Error(usage);
        return kExitUsage;
    }

    static std::atomic<bool> stop{false};
    CatchStopRequests(stop);
    return IsServerPort(options.port) ? ThroughServer(options, stop) : OnSerialPort(options, stop);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        Error(e.what());
        return kExitNoAnswer;
    }
}
