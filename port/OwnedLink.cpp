#include "port/OwnedLink.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace port {

bool LinkOver(const std::string& linkPath, const std::string& target, const std::string& owner, std::string& error)
{
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = linkPath + " exists and is not a symbolic link";
        return false;
    }
    const std::string temporary = linkPath + "." + owner + "-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), linkPath.c_str()) != 0) {
        error = "cannot create the link " + linkPath + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void UnlinkIfStill(const std::string& linkPath, const std::string& target)
{
    char now[4096];
    const ssize_t n = ::readlink(linkPath.c_str(), now, sizeof now - 1);
    if (n >= 0 && std::string(now, static_cast<std::size_t>(n)) == target)
        ::unlink(linkPath.c_str());
}

bool OwnedLink::Create(const std::string& linkPath, const std::string& target, std::string& error)
{
    Remove();
    if (!LinkOver(linkPath, target, m_owner, error))
        return false;
    m_link = linkPath;
    m_target = target;
    return true;
}

void OwnedLink::Remove()
{
    if (m_link.empty())
        return;
    UnlinkIfStill(m_link, m_target);
    m_link.clear();
    m_target.clear();
}

}  // namespace port
