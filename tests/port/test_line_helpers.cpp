// The POSIX pieces ampctl, ampd and the simulator hold a line with: the raw 9600 8N1 settings with
// each caller's VMIN, the pseudo-terminal whose far end we hold, the link that names it and is
// removed only while it is ours, and writes that finish or fail without a signal.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "port/FdIo.h"
#include "port/OwnedLink.h"
#include "port/Pty.h"
#include "port/RawLine.h"

namespace fs = std::filesystem;

namespace {

// A private folder, removed with what is in it at the end.
struct TempDir {
    TempDir() { EXPECT_NE(mkdtemp(m_path), nullptr); }
    ~TempDir() { fs::remove_all(m_path); }
    std::string operator/(const char* name) const { return std::string(m_path) + "/" + name; }
    char m_path[32] = "/tmp/amp-port-test-XXXXXX";
};

std::string LinkTarget(const std::string& path)
{
    std::error_code ec;
    return fs::read_symlink(path, ec).string();
}

TEST(RawLine, A9600EightNOneRawLineWithTheCallersVmin)
{
    for (const cc_t vmin : {cc_t{0}, cc_t{1}}) {
        port::PtyEnds pty;
        std::string error;
        ASSERT_TRUE(port::OpenPty(pty, error)) << error;
        // From a line as a terminal has it: echo, line editing, CR to NL, flow control, even parity.
        termios cooked{};
        ASSERT_EQ(tcgetattr(pty.keeper, &cooked), 0);
        cooked.c_lflag |= ECHO | ICANON | ISIG;
        cooked.c_iflag |= ICRNL | IXON | IXOFF;
        cooked.c_oflag |= OPOST | ONLCR;
        cooked.c_cflag |= PARENB | CSTOPB;
        cfsetspeed(&cooked, B115200);
        ASSERT_EQ(tcsetattr(pty.keeper, TCSANOW, &cooked), 0);

        ASSERT_TRUE(port::SetRawLine(pty.keeper, vmin));
        termios t{};
        ASSERT_EQ(tcgetattr(pty.keeper, &t), 0);
        const struct {
            const char* what;
            bool holds;
        } checks[] = {
            {"9600 baud in", cfgetispeed(&t) == B9600},
            {"9600 baud out", cfgetospeed(&t) == B9600},
            {"8 data bits", (t.c_cflag & CSIZE) == CS8},
            {"no parity, one stop bit", (t.c_cflag & (PARENB | CSTOPB)) == 0},
            {"no hardware flow control", (t.c_cflag & CRTSCTS) == 0},
            {"receiver on, modem lines ignored", (t.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL)},
            {"no software flow control", (t.c_iflag & (IXON | IXOFF | IXANY)) == 0},
            {"no echo, line editing or signals", (t.c_lflag & (ECHO | ICANON | ISIG)) == 0},
            {"no translation", (t.c_iflag & ICRNL) == 0 && (t.c_oflag & OPOST) == 0},
            {"the caller's VMIN", t.c_cc[VMIN] == vmin},
            {"no read timer", t.c_cc[VTIME] == 0},
        };
        for (const auto& check : checks)
            EXPECT_TRUE(check.holds) << check.what << " (VMIN " << int(vmin) << ")";
        port::CloseFd(pty.keeper);
        port::CloseFd(pty.master);
    }
}

TEST(Pty, BytesCrossUnchangedAndTheNearEndSeesNoHangUpWhenAnOpenerLeaves)
{
    port::PtyEnds pty;
    std::string error;
    ASSERT_TRUE(port::OpenPty(pty, error)) << error;
    ASSERT_GE(pty.master, 0);
    ASSERT_GE(pty.keeper, 0);
    ASSERT_EQ(pty.path.rfind("/dev/pts/", 0), 0u) << pty.path;

    // A frame's bytes include CR, NL and XOFF: none may be translated, eaten or echoed.
    const std::string frame = "\xEF\xEF\x0D\x0A\x13\x11";
    ASSERT_TRUE(port::WriteAll(pty.master, frame));
    char got[64];
    ASSERT_EQ(read(pty.keeper, got, sizeof got), ssize_t(frame.size()));
    EXPECT_EQ(std::string(got, frame.size()), frame);
    EXPECT_EQ(read(pty.master, got, sizeof got), -1) << "echoed back";

    // A panel opens the device and goes: the near end must not read a hang-up (EIO).
    const int panel = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(panel, 0);
    close(panel);
    errno = 0;
    EXPECT_EQ(read(pty.master, got, sizeof got), -1);
    EXPECT_EQ(errno, EAGAIN) << "the near end read a hang-up";
    port::CloseFd(pty.keeper);
    port::CloseFd(pty.master);
    EXPECT_EQ(pty.master, -1);
}

TEST(OwnedLink, MadeOverAnOldLinkNeverOverAFileAndRemovedOnlyWhileOurs)
{
    TempDir dir;
    const std::string link = dir / "com5";
    const std::string file = dir / "file";
    std::ofstream(file) << "x";

    const struct {
        const char* what;
        const char* before;     // what the name points at first: nullptr for nothing there
        const char* repointed;  // what someone points it at while it is ours: nullptr for nobody
        const char* left;       // what it points at after Remove: "" for nothing
    } cases[] = {
        {"a new name, removed", nullptr, nullptr, ""},
        {"an old link replaced, removed", "/dev/pts/999", nullptr, ""},
        {"pointed elsewhere since: left alone", nullptr, "/dev/ttyUSB7", "/dev/ttyUSB7"},
    };
    for (const auto& c : cases) {
        fs::remove(link);
        if (c.before)
            fs::create_symlink(c.before, link);
        port::OwnedLink owned("test");
        std::string error;
        ASSERT_TRUE(owned.Create(link, "/dev/pts/42", error)) << c.what << ": " << error;
        EXPECT_EQ(LinkTarget(link), "/dev/pts/42") << c.what;
        if (c.repointed) {
            fs::remove(link);
            fs::create_symlink(c.repointed, link);
        }
        owned.Remove();
        EXPECT_EQ(LinkTarget(link), c.left) << c.what;
        // Only the name, the file and nothing made under a private name.
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.m_path))
            ++entries;
        EXPECT_EQ(entries, c.repointed ? 2u : 1u) << c.what;
    }

    port::OwnedLink owned("test");
    std::string error;
    EXPECT_FALSE(owned.Create(file, "/dev/pts/42", error));
    EXPECT_EQ(error, file + " exists and is not a symbolic link");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << "a file in the link's place was replaced";
}

TEST(WriteAll, EveryByteToAFileAndAFailureNotASignalWhenTheReaderIsGone)
{
    TempDir dir;
    const std::string path = dir / "lock";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const std::string text(100000, 'a');
    EXPECT_TRUE(port::WriteAll(fd, text));
    port::CloseFd(fd);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(fs::file_size(path), text.size());

    // A control client that hung up: without care this would end the process with SIGPIPE.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    close(pair[1]);
    EXPECT_FALSE(port::WriteAll(pair[0], "state\n"));
    close(pair[0]);
}

}  // namespace
