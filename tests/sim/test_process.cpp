// The real program on a pseudo-terminal: it announces its line, answers a status query through
// its link, and removes the link when terminated. Every wait has a deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "protocol/Frames.h"
#include "protocol/RxFramer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads one byte from fd unless the deadline passes first.
bool ReadByte(int fd, Clock::time_point deadline, std::uint8_t& b)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return ms > 0 && poll(&p, 1, static_cast<int>(ms)) == 1 && read(fd, &b, 1) == 1;
}

// The program with its standard output on a pipe, killed if a test leaves it running.
struct SimProcess {
    explicit SimProcess(const std::string& link)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::string args[] = {AMPSIM_PATH, "--link", link, "--output", "on"};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(), nullptr};
        if (posix_spawn(&pid, AMPSIM_PATH, &actions, nullptr, argv, nullptr) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        output = out[0];
    }
    ~SimProcess()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        close(output);
    }
    std::string OutLine(Clock::time_point deadline)
    {
        std::string line;
        for (std::uint8_t c = 0; ReadByte(output, deadline, c) && c != '\n';)
            line += static_cast<char>(c);
        return line;
    }
    // The exit status, or -1 when it has not ended by the deadline.
    int Wait(Clock::time_point deadline)
    {
        for (int status = 0; Clock::now() < deadline; poll(nullptr, 0, 10))
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        return -1;
    }
    pid_t pid = -1;
    int output = -1;
};

TEST(SimProcess, AnswersAStatusQueryOnItsLinkAndRemovesTheLinkOnSigterm)
{
    char dir[] = "/tmp/ampsim-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/com5";
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    SimProcess sim(link);
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
    close(fd);
    ASSERT_TRUE(whole) << "no checksummed reply before the deadline";
    EXPECT_EQ(framer.Byte(3), proto::REPLY_STATUS);
    EXPECT_EQ(framer.Byte(6) * 256 + framer.Byte(7), 1500);

    ASSERT_EQ(kill(sim.pid, SIGTERM), 0);
    EXPECT_EQ(sim.Wait(deadline), 0);
    char target[64];
    EXPECT_LT(readlink(link.c_str(), target, sizeof target), 0) << "link left behind";
    rmdir(dir);
}

}  // namespace
