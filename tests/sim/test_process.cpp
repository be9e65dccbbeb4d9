// The real program on a pseudo-terminal and on pipes: it announces its line, answers through its
// link, takes commands on standard input, and cleans up when it ends. Every wait has a deadline.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "protocol/Frames.h"
#include "protocol/RxFramer.h"
#include "sim/Options.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline(int seconds = 5)
{
    return Clock::now() + std::chrono::seconds(seconds);
}

// Reads one byte from fd unless the deadline passes first.
bool ReadByte(int fd, Clock::time_point deadline, std::uint8_t& b)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return ms > 0 && poll(&p, 1, static_cast<int>(ms)) == 1 && read(fd, &b, 1) == 1;
}

// Everything fd gives until its end or the deadline.
std::string ReadToEnd(int fd, Clock::time_point deadline)
{
    std::string text;
    for (std::uint8_t c = 0; ReadByte(fd, deadline, c);)
        text += static_cast<char>(c);
    return text;
}

std::string FileText(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The log's lines without their times.
std::vector<std::string> LogLines(const std::string& path)
{
    std::istringstream log(FileText(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line.substr(line.find(' ') + 1));
    return lines;
}

// Waits until the log has the line (without its time) or the deadline passes.
bool LogShows(const std::string& path, const std::string& line, Clock::time_point deadline)
{
    for (; Clock::now() < deadline; poll(nullptr, 0, 10)) {
        const std::vector<std::string> lines = LogLines(path);
        if (std::find(lines.begin(), lines.end(), line) != lines.end())
            return true;
    }
    return false;
}

// One command line on the control socket, its sending side then shut; the reply, empty when none came.
std::string Ask(const std::string& socketPath, std::string command, Clock::time_point deadline)
{
    command += '\n';
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string reply;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0
        && write(fd, command.data(), command.size()) == ssize_t(command.size()) && shutdown(fd, SHUT_WR) == 0)
        reply = ReadToEnd(fd, deadline);
    close(fd);
    return reply;
}

// A private folder, emptied and removed at the end.
struct TempDir {
    TempDir() { EXPECT_NE(mkdtemp(m_path), nullptr); }
    ~TempDir()
    {
        if (DIR* d = opendir(m_path)) {
            while (const dirent* e = readdir(d))
                unlink((std::string(m_path) + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(m_path);
    }
    std::string operator/(const char* name) const { return std::string(m_path) + "/" + name; }
    char m_path[32] = "/tmp/ampsim-test-XXXXXX";
};

// The program with its standard streams on pipes, killed if a test leaves it running.
struct SimProcess {
    explicit SimProcess(std::vector<std::string> args)
    {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        // The stop signals as a shell in the foreground would leave them, whatever ours are.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, stops;
        sigemptyset(&none);
        sigemptyset(&stops);
        for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            sigaddset(&stops, s);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &stops);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        args.insert(args.begin(), AMPSIM_PATH);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, AMPSIM_PATH, &actions, &attr, argv.data(), nullptr) != 0)
            m_pid = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        m_input = in[1];
        m_output = out[0];
        m_errors = err[0];
    }
    ~SimProcess()
    {
        if (m_pid > 0 && kill(m_pid, SIGKILL) == 0)
            waitpid(m_pid, nullptr, 0);
        CloseInput();
        close(m_output);
        close(m_errors);
    }
    std::string OutLine(Clock::time_point deadline)
    {
        std::string line;
        for (std::uint8_t c = 0; ReadByte(m_output, deadline, c) && c != '\n';)
            line += static_cast<char>(c);
        return line;
    }
    bool Send(const std::string& text) { return write(m_input, text.data(), text.size()) == ssize_t(text.size()); }
    void CloseInput()
    {
        if (m_input >= 0)
            close(m_input);
        m_input = -1;
    }
    // The exit status, or -1 when it has not ended by the deadline.
    int Wait(Clock::time_point deadline)
    {
        for (int status = 0; Clock::now() < deadline; poll(nullptr, 0, 10))
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        return -1;
    }
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    int m_errors = -1;
};

TEST(SimProcess, AnswersOnItsLinkAndCleansUpOnEachStopSignal)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir dir;
        const std::string link = dir / "com5";
        const auto deadline = Deadline();
        SimProcess sim({"--link", link, "--output", "on", "--control", dir / "control", "--log", dir / "frames.log"});
        const std::string announce = sim.OutLine(deadline);
        ASSERT_EQ(announce.rfind("ampsim: line /dev/pts/", 0), 0u) << announce;

        const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);  // the program keeps the line raw itself
        ASSERT_GE(fd, 0) << "no link to the line";
        const proto::Frame query = proto::MakeQueryFrame(proto::CMD_QUERY_STATUS);
        ASSERT_EQ(write(fd, query.bytes, query.size), query.size);
        proto::RxFramer framer;
        bool whole = false;
        for (std::uint8_t b = 0; !whole && ReadByte(fd, deadline, b);)
            whole = framer.Push(b);
        ASSERT_TRUE(whole) << "no checksummed reply before the deadline";
        EXPECT_EQ(framer.Byte(3), proto::REPLY_STATUS);
        EXPECT_EQ(framer.Byte(6) * 256 + framer.Byte(7), 1500);
        // A truncated frame is logged bad while the line stays quiet, not when more bytes come.
        const std::uint8_t truncated[] = {0xEF, 0xEF, 0x04, 0x0D};
        ASSERT_EQ(write(fd, truncated, sizeof truncated), ssize_t(sizeof truncated));
        EXPECT_TRUE(LogShows(dir / "frames.log", "RX-BAD EF EF 04 0D", deadline));
        close(fd);

        ASSERT_EQ(kill(sim.m_pid, signal), 0);
        EXPECT_EQ(sim.Wait(Deadline()), 0);
        EXPECT_FALSE(Exists(link)) << "link left behind";
        EXPECT_FALSE(Exists(dir / "control")) << "control socket left behind";
        const std::vector<std::string> log = LogLines(dir / "frames.log");
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], std::string("EVENT signal ") + strsignal(signal));
        EXPECT_EQ(log.back(), "EVENT stop");
    }
}

TEST(SimProcess, ASecondSimulatorRefusesALiveControlSocketAndTakesOverAStaleOne)
{
    TempDir dir;
    const std::string control = dir / "control";
    const auto deadline = Deadline();
    SimProcess first({"--control", control});
    ASSERT_EQ(first.OutLine(deadline).rfind("ampsim: line ", 0), 0u);

    SimProcess second({"--control", control, "--link", dir / "com5"});
    EXPECT_EQ(second.Wait(deadline), 1);
    EXPECT_EQ(ReadToEnd(second.m_errors, deadline),
        "ampsim: error: control socket " + control + " is in use: another program is listening on it\n");
    EXPECT_FALSE(Exists(dir / "com5"));
    // Still the first answering: it has no link, the second was given one.
    EXPECT_THAT(Ask(control, "state", Deadline()), testing::HasSubstr("\"link\":\"\","));

    // Killed, the first leaves its socket behind with nothing listening on it.
    const auto restart = Deadline();
    ASSERT_EQ(kill(first.m_pid, SIGKILL), 0);
    ASSERT_EQ(first.Wait(restart), 128 + SIGKILL);
    ASSERT_TRUE(Exists(control));
    SimProcess third({"--control", control});
    ASSERT_EQ(third.OutLine(restart).rfind("ampsim: line ", 0), 0u);
    EXPECT_THAT(Ask(control, "state", restart), testing::HasSubstr("\"plugged\":true"));
}

TEST(SimProcess, OptionsThatEndTheRunAtOnceAnswerOnTheRightStream)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"--\xff\x1b[2J"}, 2, "", "ampsim: error: unknown option '--\\xFF\\x1B[2J'\nTry 'ampsim --help'.\n"},
        {{"-h"}, 0, sim::HelpText(), ""},
        {{"--version"}, 0, "ampsim " AMPSIM_VERSION "\n", ""},
        {{"--", "--version"}, 2, "", "ampsim: error: unexpected argument '--version'\nTry 'ampsim --help'.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const auto deadline = Deadline();
        SimProcess sim(c.args);
        sim.CloseInput();
        EXPECT_EQ(ReadToEnd(sim.m_output, deadline), c.out);
        EXPECT_EQ(ReadToEnd(sim.m_errors, deadline), c.err);
        EXPECT_EQ(sim.Wait(deadline), c.status);
    }
}

struct StdinCase {
    const char* what;
    std::vector<std::string> options;
    std::string input;                 // then standard input ends
    std::vector<std::string> replies;  // each reply line holds its fragment, in order
    std::vector<std::string> logEnd;   // the log's last lines; none: the case names its own log
    std::string errorText;             // standard error
};

TEST(SimProcess, CommandsOnStandardInputAreEachAnsweredAndItsEndEndsTheRun)
{
    const StdinCase cases[] = {
        {"end of input ends the run as quit does", {}, "", {}, {"EVENT end of input", "EVENT stop"}, ""},
        {"blank lines are answered, and so is a last line without a newline", {}, "\n \r\nstate",
            {"error: empty command", "error: empty command", "{\"time\":"}, {"EVENT end of input", "EVENT stop"}, ""},
        // The tail starts right after nine full 512-byte reads, where a line cut at the limit would resume.
        {"an over-long line gets one error and none of it runs", {"--output", "on"},
            std::string(4608, 'x') + " set output off\nstate\n", {"error: line too long", "\"output\":\"on\""},
            {"EVENT end of input", "EVENT stop"}, ""},
        {"a log that cannot be written is reported once and shown in state", {"--log", "/dev/full"}, "state\nstate\n",
            {"\"log_error\":\"/dev/full: No space left on device\"", "\"log_error\":\"/dev/full"}, {},
            "ampsim: log write failed: /dev/full: No space left on device\n"},
    };
    for (const StdinCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::vector<std::string> args = {"--stdin", "--link", dir / "com5"};
        if (!c.logEnd.empty())
            args.insert(args.end(), {"--log", dir / "frames.log"});
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto deadline = Deadline();
        SimProcess sim(args);
        ASSERT_EQ(sim.OutLine(deadline).rfind("ampsim: line ", 0), 0u);
        ASSERT_TRUE(sim.Send(c.input));
        sim.CloseInput();

        std::istringstream out(ReadToEnd(sim.m_output, deadline));
        std::vector<std::string> replies;
        for (std::string line; std::getline(out, line);)
            replies.push_back(line);
        EXPECT_EQ(replies.size(), c.replies.size());
        for (std::size_t i = 0; i < std::min(replies.size(), c.replies.size()); ++i)
            EXPECT_THAT(replies[i], testing::HasSubstr(c.replies[i]));
        EXPECT_EQ(sim.Wait(deadline), 0);
        EXPECT_EQ(ReadToEnd(sim.m_errors, deadline), c.errorText);
        EXPECT_FALSE(Exists(dir / "com5")) << "link left behind";
        if (!c.logEnd.empty()) {
            const std::vector<std::string> log = LogLines(dir / "frames.log");
            ASSERT_GE(log.size(), c.logEnd.size());
            EXPECT_EQ(std::vector<std::string>(log.end() - c.logEnd.size(), log.end()), c.logEnd);
        }
    }
}

}  // namespace
