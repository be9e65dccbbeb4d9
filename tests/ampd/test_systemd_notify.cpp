// What ampd tells systemd: each call's datagram as a socket this test owns receives it, on a path
// and on an abstract name, and the watchdog's interval as the environment asks for it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ampd/SystemdNotify.h"

using namespace ampd;
using std::chrono::microseconds;

namespace {

// A datagram socket bound where NOTIFY_SOCKET will name it: "/tmp/.../notify" or "@name".
class Receiver {
public:
    explicit Receiver(bool abstract)
    {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socklen_t length = 0;
        if (abstract) {
            m_name = "@ampd-notify-test-" + std::to_string(getpid());
            std::memcpy(address.sun_path + 1, m_name.data() + 1, m_name.size() - 1);
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_name.size());
        } else {
            char folder[] = "/tmp/ampd-notify-XXXXXX";
            m_folder = mkdtemp(folder);
            m_name = m_folder + "/notify";
            std::memcpy(address.sun_path, m_name.c_str(), m_name.size() + 1);
            length = static_cast<socklen_t>(sizeof address);
        }
        m_bound = bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    }
    ~Receiver()
    {
        close(m_fd);
        if (!m_folder.empty()) {
            unlink(m_name.c_str());
            rmdir(m_folder.c_str());
        }
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    bool Bound() const { return m_bound; }
    const std::string& Name() const { return m_name; }

    // The next datagram queued, if any. A sent datagram is queued before sendto returns.
    std::optional<std::string> Next()
    {
        char buffer[4096];
        const ssize_t got = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0)
            return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(got));
    }

private:
    int m_fd = -1;
    bool m_bound = false;
    std::string m_name;
    std::string m_folder;
};

TEST(SystemdNotify, EachCallIsOneDatagramOnAPathOrAnAbstractSocket)
{
    const struct {
        const char* what;
        std::function<bool(SystemdNotify&)> call;
        const char* datagram;
    } cases[] = {
        {"ready", [](SystemdNotify& n) { return n.Ready(); }, "READY=1"},
        {"status", [](SystemdNotify& n) { return n.Status("link up, 2 clients, no alarm latched"); },
            "STATUS=link up, 2 clients, no alarm latched"},
        // A line end would let the text say something else to systemd.
        {"status with a line end", [](SystemdNotify& n) { return n.Status("up\nREADY=1"); }, "STATUS=up READY=1"},
        {"watchdog", [](SystemdNotify& n) { return n.Watchdog(); }, "WATCHDOG=1"},
        {"stopping", [](SystemdNotify& n) { return n.Stopping(); }, "STOPPING=1"},
        {"reloading", [](SystemdNotify& n) { return n.Reloading(microseconds(1234567890)); },
            "RELOADING=1\nMONOTONIC_USEC=1234567890"},
    };
    for (const bool abstract : {false, true}) {
        Receiver receiver(abstract);
        ASSERT_TRUE(receiver.Bound()) << receiver.Name();
        SystemdNotify notify(receiver.Name().c_str(), nullptr, nullptr, getpid());
        for (const auto& c : cases) {
            EXPECT_TRUE(c.call(notify)) << c.what << " to " << receiver.Name();
            EXPECT_EQ(receiver.Next(), std::optional<std::string>(c.datagram)) << c.what << " to " << receiver.Name();
            EXPECT_EQ(receiver.Next(), std::nullopt) << c.what << ": more than one datagram";
        }
    }
}

TEST(SystemdNotify, TheWatchdogIsHalfItsTimeoutAndOnlyForTheProcessItNames)
{
    const pid_t self = getpid();
    const std::string me = std::to_string(self);
    const std::string other = std::to_string(self + 1);
    const struct {
        const char* what;
        const char* usec;
        const char* pid;
        std::optional<microseconds> interval;
    } cases[] = {
        {"no pid named", "10000000", nullptr, microseconds(5000000)},
        {"this process named", "10000000", me.c_str(), microseconds(5000000)},
        {"odd timeout", "3", nullptr, microseconds(1)},
        {"one microsecond is not zero", "1", nullptr, microseconds(1)},
        {"another process named", "10000000", other.c_str(), std::nullopt},
        {"pid malformed", "10000000", "12x", std::nullopt},
        {"pid zero", "10000000", "0", std::nullopt},
        {"no timeout", nullptr, nullptr, std::nullopt},
        {"empty timeout", "", nullptr, std::nullopt},
        {"zero timeout", "0", nullptr, std::nullopt},
        {"negative timeout", "-10000000", nullptr, std::nullopt},
        {"timeout with a blank", "10000000 ", nullptr, std::nullopt},
        {"infinite timeout", "18446744073709551615", nullptr, std::nullopt},
        {"timeout past 64 bits", "18446744073709551616", nullptr, std::nullopt},
    };
    Receiver receiver(false);
    ASSERT_TRUE(receiver.Bound());
    for (const auto& c : cases) {
        const SystemdNotify notify(receiver.Name().c_str(), c.usec, c.pid, self);
        EXPECT_EQ(notify.WatchdogInterval(), c.interval) << c.what;
    }
}

TEST(SystemdNotify, WithoutAUsableSocketNothingIsSentAndNoWatchdogRuns)
{
    const std::string tooLong = "/" + std::string(sizeof(sockaddr_un::sun_path) - 1, 'x');
    const std::string abstractTooLong = "@" + std::string(sizeof(sockaddr_un::sun_path), 'x');
    const struct {
        const char* what;
        const char* socket;
    } cases[] = {
        {"unset", nullptr},
        {"empty", ""},
        {"a relative path", "run/notify"},
        {"'@' alone", "@"},
        {"a path with no room for its end", tooLong.c_str()},
        {"an abstract name past sun_path", abstractTooLong.c_str()},
    };
    for (const auto& c : cases) {
        SystemdNotify notify(c.socket, "10000000", nullptr, getpid());
        EXPECT_FALSE(notify.Ready()) << c.what;
        EXPECT_FALSE(notify.Watchdog()) << c.what;
        EXPECT_EQ(notify.WatchdogInterval(), std::nullopt) << c.what;
    }
    // A socket nobody listens on: the message is dropped and said so, nothing waits.
    SystemdNotify nobody("/nonexistent/ampd-notify", nullptr, nullptr, getpid());
    EXPECT_FALSE(nobody.Ready());
}

TEST(SystemdNotify, ReadsTheVariablesSystemdSets)
{
    Receiver receiver(true);
    ASSERT_TRUE(receiver.Bound());
    setenv("NOTIFY_SOCKET", receiver.Name().c_str(), 1);
    setenv("WATCHDOG_USEC", "4000000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    SystemdNotify notify = SystemdNotify::FromEnvironment();
    EXPECT_EQ(notify.WatchdogInterval(), std::optional<microseconds>(microseconds(2000000)));
    EXPECT_TRUE(notify.Ready());
    EXPECT_EQ(receiver.Next(), std::optional<std::string>("READY=1"));

    // A child ampd started with its parent's environment is not the one systemd watches.
    setenv("WATCHDOG_PID", std::to_string(getpid() + 1).c_str(), 1);
    EXPECT_EQ(SystemdNotify::FromEnvironment().WatchdogInterval(), std::nullopt);

    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    SystemdNotify none = SystemdNotify::FromEnvironment();
    EXPECT_FALSE(none.Ready());
    EXPECT_EQ(receiver.Next(), std::nullopt);
}

}  // namespace
