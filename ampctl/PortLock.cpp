#include "ampctl/PortLock.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace ampctl {

namespace {

constexpr const char* kDefaultLockFolder = "/var/lock";
constexpr std::size_t kLongestCommand = 80;     // characters of a command line shown
constexpr std::size_t kMostCommandRead = 4096;  // bytes of /proc/PID/cmdline read
constexpr std::size_t kMostLockRead = 64;       // a lock file's text is 11 bytes
// A lock file without a process number this young may be one whose maker is still writing it.
constexpr std::time_t kFreshLockS = 5;
// Rounds of finding a stale lock file removed and the place taken again by someone else.
constexpr int kLockAttempts = 5;
// Unix98 pseudo-terminal slaves.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;
constexpr long kPtysPerMajor = 256;

// At most max bytes of a file, read without following a link or waiting on a FIFO; false when it
// cannot be opened (errno says why) or is not a regular file (proc's files count as regular).
bool ReadSmallFile(const std::string& path, std::size_t max, std::string& text, struct stat* info = nullptr)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return false;
    }
    text.assign(max, '\0');
    std::size_t got = 0;
    while (got < max) {
        const ssize_t n = read(fd, &text[got], max - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    close(fd);
    if (info)
        *info = st;
    return true;
}

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

bool Alive(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
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

// What is at path in the lock file's place.
struct Found {
    enum { kNothing, kLive, kStale, kStrange } state = kNothing;
    pid_t pid = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::string what;  // kStrange: what it is
};

Found Inspect(const std::string& path)
{
    Found found;
    std::string text;
    struct stat st {};
    if (!ReadSmallFile(path, kMostLockRead, text, &st)) {
        if (errno == ENOENT)
            return found;
        if (errno == ELOOP || errno == EINVAL) {
            found.state = Found::kStrange;
            found.what = errno == ELOOP ? "a symbolic link" : "not a file";
            return found;
        }
        // One we may not read is another's, and may well be live.
        found.state = Found::kLive;
        return found;
    }
    found.device = st.st_dev;
    found.inode = st.st_ino;
    found.pid = ParseLockFile(text);
    if (found.pid == 0) {
        // Being written, or left over by who knows what: only an old one may go.
        found.state = std::time(nullptr) - st.st_mtime < kFreshLockS ? Found::kLive : Found::kStale;
        return found;
    }
    // A lock naming this process cannot be one it has taken yet: an earlier process had its number.
    found.state = found.pid != getpid() && Alive(found.pid) ? Found::kLive : Found::kStale;
    return found;
}

// Removes the stale file only if it is still the one inspected; another taker may have replaced it.
bool RemoveIfSame(const std::string& path, const Found& stale)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (st.st_dev != stale.device || st.st_ino != stale.inode)
        return true;
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

// Our own lock file under a private name, whole before it is linked into place.
int MakeOwnFile(const std::string& own)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = open(own.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
        // Left by an earlier process of our number; unlink removes a name, never what a link points to.
        unlink(own.c_str());
    }
    return -1;
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

LockResult Result(LockOutcome outcome, pid_t holder = 0, std::string reason = {})
{
    return LockResult{outcome, holder, std::move(reason)};
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

std::string LockFileName(const std::string& realPath)
{
    const std::string dev = "/dev/";
    std::string name = realPath.compare(0, dev.size(), dev) == 0 ? realPath.substr(dev.size()) : realPath;
    while (!name.empty() && name.front() == '/')
        name.erase(0, 1);
    for (char& c : name)
        if (c == '/')
            c = '_';
    return "LCK.." + name;
}

std::string LockFileText(pid_t pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

pid_t ParseLockFile(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    const std::size_t digits = i;
    long long pid = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        pid = pid * 10 + (text[i] - '0');
        if (pid > INT_MAX)
            return 0;
    }
    if (i == digits)
        return 0;
    if (i < text.size() && text[i] == '\n')
        ++i;
    return i == text.size() ? static_cast<pid_t>(pid) : 0;
}

std::string LockFolder()
{
    const char* folder = std::getenv("AMP_LOCK_DIR");
    return folder && *folder ? folder : kDefaultLockFolder;
}

LockResult LockFile::Take(const std::string& folder, const std::string& realPath)
{
    Release();
    const std::string path = folder + "/" + LockFileName(realPath);
    const std::string own = folder + "/LTMP." + std::to_string(getpid());

    const int fd = MakeOwnFile(own);
    if (fd < 0) {
        const int error = errno;
        if (error != EACCES && error != EPERM && error != EROFS && error != ENOENT && error != ENOTDIR)
            return Result(
                LockOutcome::kFailed, 0, "cannot make a lock file in " + folder + ": " + std::strerror(error));
        // No lock file of our own, but one that a live process holds still counts.
        const Found found = Inspect(path);
        if (found.state == Found::kLive)
            return Result(LockOutcome::kHeld, found.pid);
        return Result(
            LockOutcome::kNoFolder, 0, error == ENOENT || error == ENOTDIR ? "does not exist" : "is not writable");
    }
    struct stat st {};
    // Readable by everyone whatever the umask: others look inside for the process number.
    const bool written = WriteAll(fd, LockFileText(getpid())) && fchmod(fd, 0644) == 0 && fstat(fd, &st) == 0;
    const int writeError = errno;
    close(fd);
    if (!written) {
        unlink(own.c_str());
        return Result(LockOutcome::kFailed, 0, "cannot write " + own + ": " + std::strerror(writeError));
    }

    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        // link() makes the name only if nobody has it, and never follows a link at the place.
        if (link(own.c_str(), path.c_str()) == 0) {
            unlink(own.c_str());
            m_path = path;
            m_device = st.st_dev;
            m_inode = st.st_ino;
            return Result(LockOutcome::kTaken);
        }
        if (errno != EEXIST) {
            const int error = errno;
            unlink(own.c_str());
            return Result(LockOutcome::kFailed, 0, "cannot make " + path + ": " + std::strerror(error));
        }
        const Found found = Inspect(path);
        if (found.state == Found::kLive) {
            unlink(own.c_str());
            return Result(LockOutcome::kHeld, found.pid);
        }
        if (found.state == Found::kStrange) {
            unlink(own.c_str());
            return Result(LockOutcome::kFailed, 0, path + " is in the lock file's place and is " + found.what);
        }
        if (found.state == Found::kStale && !RemoveIfSame(path, found)) {
            const int error = errno;
            unlink(own.c_str());
            return Result(
                LockOutcome::kFailed, 0, "the stale lock file " + path + " cannot be removed: " + std::strerror(error));
        }
    }
    unlink(own.c_str());
    return Result(LockOutcome::kHeld);
}

void LockFile::Release()
{
    if (m_path.empty())
        return;
    struct stat st {};
    if (lstat(m_path.c_str(), &st) == 0 && st.st_dev == m_device && st.st_ino == m_inode)
        unlink(m_path.c_str());
    m_path.clear();
}

}  // namespace ampctl
