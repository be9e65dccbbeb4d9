// The real program on a pseudo-terminal: it announces its line, answers a query at line rate,
// takes control commands, and leaves nothing behind when told to stop. Every wait has a deadline.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "protocol/Frames.h"
#include "protocol/RxFramer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto DEADLINE = std::chrono::seconds(5);

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads one line from fd, waiting until the deadline; empty when none came.
std::string ReadLineFrom(int fd, Clock::time_point deadline)
{
    std::string line;
    char c = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0)
            return {};
        if (read(fd, &c, 1) != 1)
            return {};
        if (c == '\n')
            return line;
        line += c;
    }
}

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args)
    {
        int out[2], err[2], in[2];
        if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        args.insert(args.begin(), AMPSIM_PATH);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, AMPSIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        input = in[1];
        output = out[0];
        errors = err[0];
    }
    ~SimProcess()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(input);
        close(output);
        close(errors);
    }

    std::string OutLine() { return ReadLineFrom(output, Clock::now() + DEADLINE); }
    std::string ErrLine() { return ReadLineFrom(errors, Clock::now() + DEADLINE); }
    void Write(const std::string& text) { ASSERT_EQ(write(input, text.data(), text.size()), static_cast<ssize_t>(text.size())); }

    // The exit status, or -1 when it did not end before the deadline.
    int Wait()
    {
        const auto deadline = Clock::now() + DEADLINE;
        int status = 0;
        while (Clock::now() < deadline) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            poll(nullptr, 0, 10);
        }
        return -1;
    }

    pid_t pid = -1;
    int input = -1;
    int output = -1;
    int errors = -1;
};

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/ampsim-test-XXXXXX";
        path = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

std::string LinkTarget(const std::string& link)
{
    char buf[256];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

int OpenRaw(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

struct Arrival {
    std::vector<std::uint8_t> frame;
    Clock::duration firstToLast{};
};

// Reads until the panel's framer accepts a reply or the deadline passes.
Arrival ReadReply(int fd)
{
    proto::RxFramer framer;
    Arrival a;
    Clock::time_point first{};
    const auto deadline = Clock::now() + DEADLINE;
    while (MsLeft(deadline) > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0)
            break;
        std::uint8_t b = 0;
        if (read(fd, &b, 1) != 1)
            continue;
        const auto now = Clock::now();
        if (framer.Index() == 0)
            first = now;
        if (framer.Push(b)) {
            a.frame.assign(framer.Buffer(), framer.Buffer() + framer.Byte(2) + 3);
            a.firstToLast = now - first;
            return a;
        }
    }
    return a;
}

std::string AskSocket(const std::string& path, const std::string& command)
{
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    std::string reply;
    if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        write(s, command.data(), command.size()) == static_cast<ssize_t>(command.size()))
        reply = ReadLineFrom(s, Clock::now() + DEADLINE);
    close(s);
    return reply;
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0 || !LinkTarget(path).empty();
}

TEST(SimProcess, AnswersOnItsLinkedPtyAndCleansUpOnSigterm)
{
    TempDir dir;
    const std::string link = dir.path + "/com5";
    const std::string control = dir.path + "/ctl";
    SimProcess sim({"--link", link, "--control", control, "--log", dir.path + "/frames.log", "--output", "on"});
    const std::string announce = sim.OutLine();
    ASSERT_EQ(announce.rfind("ampsim: line /dev/pts/", 0), 0u) << announce;
    EXPECT_EQ(LinkTarget(link), announce.substr(13));

    const int fd = OpenRaw(link);
    ASSERT_GE(fd, 0);
    const proto::Frame query = proto::MakeQueryFrame(proto::CMD_QUERY_STATUS);
    ASSERT_EQ(write(fd, query.bytes, query.size), query.size);
    const Arrival reply = ReadReply(fd);
    ASSERT_EQ(reply.frame.size(), 17u);
    EXPECT_EQ(reply.frame[3], proto::REPLY_STATUS);
    EXPECT_EQ(reply.frame[6] * 256 + reply.frame[7], 1500);
    // Paced at 9600 baud: 16 byte times (about 16.7 ms) at least between first and last byte.
    EXPECT_GE(reply.firstToLast, std::chrono::microseconds(16 * 1041));
    close(fd);

    const std::string state = AskSocket(control, "state\n");
    EXPECT_NE(state.find("\"frames\":{\"rx\":1,\"rx_bad\":0,\"tx\":1}"), std::string::npos) << state;

    ASSERT_EQ(kill(sim.pid, SIGTERM), 0);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(Exists(link)) << "link left behind";
    EXPECT_FALSE(Exists(control)) << "socket left behind";
}

TEST(SimProcess, UnplugAndReplugFromStandardInput)
{
    TempDir dir;
    const std::string link = dir.path + "/com7";
    SimProcess sim({"--link", link, "--stdin"});
    const std::string first = sim.OutLine();
    ASSERT_EQ(first.rfind("ampsim: line ", 0), 0u) << first;
    const int fd = OpenRaw(link);
    ASSERT_GE(fd, 0);

    sim.Write("unplug\n");
    EXPECT_EQ(sim.OutLine(), "ok unplugged");
    EXPECT_FALSE(Exists(link));
    // The panel's side sees the line go: a hang-up, not a silent wait.
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, MsLeft(Clock::now() + DEADLINE)), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
    close(fd);

    sim.Write("replug\n");
    const std::string again = sim.OutLine();
    ASSERT_EQ(again.rfind("ampsim: line /dev/pts/", 0), 0u) << again;
    EXPECT_EQ(sim.OutLine(), "ok line " + again.substr(13));
    EXPECT_EQ(LinkTarget(link), again.substr(13));

    sim.Write("quit\n");
    EXPECT_EQ(sim.OutLine(), "ok quit");
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(Exists(link));
}

TEST(SimProcess, RefusesBadOptionsAndUnopenableDevices)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{"--bogus"}, 2, "ampsim: error: unknown option '--bogus'"},
        {{"--device", "/nonexistent/ttyUSB9"}, 1, "ampsim: error: cannot open /nonexistent/ttyUSB9: No such file or directory"},
        {{"--device", "/dev/null"}, 1, "ampsim: error: /dev/null is not a serial device"},
    };
    for (const auto& c : cases) {
        SimProcess sim(c.args);
        EXPECT_EQ(sim.ErrLine(), c.message);
        EXPECT_EQ(sim.Wait(), c.status) << c.args[0];
    }
}

}  // namespace
