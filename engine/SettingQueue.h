// Settings waiting for the line. Clients take turns by whole settings in the order they came: a
// client with a stream of settings waits behind at most one setting of each other client and never
// starves them. The guard's OFF goes before everything. Thread-safe: clients push from the
// network's thread, the line's thread pops.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "ampd/Mutex.h"
#include "ampd/Setting.h"

namespace ampd {

class SettingQueue {
public:
    // Sets wake, so a line waiting for replies looks at the queue at once.
    void Push(SettingRequest request);
    std::optional<SettingRequest> Pop();
    // Everything still waiting, in the order it would have gone.
    std::vector<SettingRequest> TakeAll();
    bool Empty() const;

    std::atomic<bool>& Wake() { return m_wake; }

private:
    std::optional<SettingRequest> PopLocked();

    mutable Mutex m_mutex;
    std::deque<SettingRequest> m_guard;
    std::map<std::uint64_t, std::deque<SettingRequest>> m_byClient;
    std::deque<std::uint64_t> m_turns;  // clients with settings waiting, next turn first
    // The client served last: its next turn is placed only at the next pop, behind every client
    // that came while its setting was on the line.
    std::optional<std::uint64_t> m_served;
    std::atomic<bool> m_wake{false};
};

}  // namespace ampd
