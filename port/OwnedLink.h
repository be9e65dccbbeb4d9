// A symbolic link that shows a line under a stable name (a pseudo-terminal as a Wine prefix's COM
// port, say): made by us, and removed by us only while it still points where we made it.
#pragma once

#include <string>

namespace port {

// Makes linkPath point at target, replacing an existing symbolic link (never another file). It is
// made under a private name (linkPath.owner-PID) and renamed over, so the name never dangles and
// is never missing. False, with the reason in error, when it cannot be.
bool LinkOver(const std::string& linkPath, const std::string& target, const std::string& owner, std::string& error);

// Removes linkPath if it still points at target; someone may have pointed it elsewhere since, and
// that link is theirs.
void UnlinkIfStill(const std::string& linkPath, const std::string& target);

// The link as an object: removed when it goes.
class OwnedLink {
public:
    // owner names the program in the private name the link is made under.
    explicit OwnedLink(std::string owner) : m_owner(std::move(owner)) {}
    OwnedLink(const OwnedLink&) = delete;
    OwnedLink& operator=(const OwnedLink&) = delete;
    ~OwnedLink() { Remove(); }

    bool Create(const std::string& linkPath, const std::string& target, std::string& error);
    void Remove();

private:
    std::string m_owner;
    std::string m_link;  // set while the link is ours
    std::string m_target;
};

}  // namespace port
