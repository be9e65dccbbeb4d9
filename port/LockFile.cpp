#include "port/LockFile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "port/FdIo.h"

namespace port {

namespace {

constexpr const char* kDefaultLockFolder = "/var/lock";
constexpr std::size_t kMostLockRead = 64;  // a lock file's text is 11 bytes
// A lock file without a process number this young may be one whose maker is still writing it.
constexpr std::time_t kFreshLockS = 5;
// Rounds of finding a stale lock file removed and the place taken again by someone else.
constexpr int kLockAttempts = 5;

bool Alive(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
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

LockResult Result(LockOutcome outcome, pid_t holder = 0, std::string reason = {})
{
    return LockResult{outcome, holder, std::move(reason)};
}

}  // namespace

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

}  // namespace port
