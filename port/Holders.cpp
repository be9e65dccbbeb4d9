#include "port/Holders.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "port/FdIo.h"

namespace port {

namespace {

constexpr std::size_t kLongestCommand = 80;     // characters of a command line shown
constexpr std::size_t kMostCommandRead = 4096;  // bytes of /proc/PID/cmdline read
// Unix98 pseudo-terminal slaves.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;
constexpr long kPtysPerMajor = 256;

std::string ProcPath(pid_t pid, const char* what)
{
    return "/proc/" + std::to_string(pid) + "/" + what;
}

// A process's name as the kernel keeps it (at most 15 characters), without the newline.
std::string NameOf(pid_t pid)
{
    std::string name;
    if (!ReadSmallFile(ProcPath(pid, "comm"), 64, name))
        return {};
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

// Another process's bytes go to the user's terminal: control characters and whatever is not
// ASCII are shown as '?'.
std::string Printable(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return shown;
}

// The number of the pseudo-terminal the device is, or -1 when it is not one.
long PtyIndex(const std::string& realPath)
{
    struct stat st {};
    if (stat(realPath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return -1;
    const unsigned major = ::major(st.st_rdev);
    if (major < kFirstPtyMajor || major > kLastPtyMajor)
        return -1;
    return static_cast<long>(major - kFirstPtyMajor) * kPtysPerMajor + static_cast<long>(::minor(st.st_rdev));
}

bool IsNumber(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

// Whether the open descriptor fd of pid, a pseudo-terminal master, is the master of pty number index.
bool IsMasterOf(pid_t pid, const char* fd, long index)
{
    std::string info;
    if (!ReadSmallFile(ProcPath(pid, "fdinfo/") + fd, 1024, info))
        return false;
    const std::string key = "tty-index:";
    const std::size_t at = info.find(key);
    if (at == std::string::npos)
        return false;
    char* end = nullptr;
    const long found = std::strtol(info.c_str() + at + key.size(), &end, 10);
    return end != info.c_str() + at + key.size() && found == index;
}

// What pid has open of the device: whether it has the device, and whether it holds the master of
// the pseudo-terminal the device is (ptyIndex >= 0).
struct Opened {
    bool device = false;
    bool master = false;
};

Opened WhatIsOpen(pid_t pid, const std::string& realPath, long ptyIndex)
{
    Opened opened;
    DIR* fds = opendir(ProcPath(pid, "fd").c_str());
    if (!fds)
        return opened;  // gone, or another user's
    char target[PATH_MAX];
    while (const dirent* entry = readdir(fds)) {
        if (!IsNumber(entry->d_name))
            continue;
        const ssize_t n = readlinkat(dirfd(fds), entry->d_name, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (realPath == target)
            opened.device = true;
        else if (ptyIndex >= 0 && (std::strcmp(target, "/dev/ptmx") == 0 || std::strcmp(target, "/dev/pts/ptmx") == 0)
            && IsMasterOf(pid, entry->d_name, ptyIndex))
            opened.master = true;
    }
    closedir(fds);
    return opened;
}

}  // namespace

std::string DescribeHolders(const std::vector<Holder>& holders)
{
    std::string text;
    for (const Holder& holder : holders) {
        if (!text.empty())
            text += ", ";
        text += std::to_string(holder.pid);
        if (!holder.command.empty())
            text += " (" + holder.command + ")";
    }
    return text;
}

std::string CommandOf(pid_t pid)
{
    std::string command;
    if (!ReadSmallFile(ProcPath(pid, "cmdline"), kMostCommandRead, command))
        return {};
    while (!command.empty() && command.back() == '\0')
        command.pop_back();
    for (char& c : command)
        if (c == '\0')
            c = ' ';
    // A kernel thread or a process on its way out has no command line, only its name.
    if (command.empty()) {
        const std::string name = NameOf(pid);
        command = name.empty() ? name : "[" + name + "]";
    }
    command = Printable(command);
    if (command.size() > kLongestCommand)
        command = command.substr(0, kLongestCommand - 3) + "...";
    return command;
}

std::vector<Holder> OtherHolders(const std::string& realPath)
{
    std::vector<Holder> holders;
    std::vector<Holder> servers;
    const long ptyIndex = PtyIndex(realPath);
    DIR* proc = opendir("/proc");
    if (!proc)
        return holders;
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc)) {
        if (!IsNumber(entry->d_name))
            continue;
        const long pid = std::strtol(entry->d_name, nullptr, 10);
        if (pid <= 0 || pid > INT_MAX || pid == self)
            continue;
        const Opened opened = WhatIsOpen(static_cast<pid_t>(pid), realPath, ptyIndex);
        if (!opened.device || opened.master)
            continue;
        const Holder holder{static_cast<pid_t>(pid), CommandOf(static_cast<pid_t>(pid))};
        (NameOf(holder.pid).rfind("wineserver", 0) == 0 ? servers : holders).push_back(holder);
    }
    closedir(proc);
    return holders.empty() ? servers : holders;
}

}  // namespace port
