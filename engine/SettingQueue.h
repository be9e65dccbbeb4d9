// Settings waiting for the line. Clients take turns by whole settings in the order they came: a
// client with a stream of settings waits behind at most one setting of each other client and never
// starves them. The guard's OFF goes before everything. One thread: the line's owner and the
// clients share it.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "engine/Setting.h"

namespace engine {

class SettingQueue {
public:
    // Called after every push, so a driver waiting for the line's next time looks again.
    void OnPush(std::function<void()> poke) { m_poke = std::move(poke); }

    void Push(SettingRequest request);
    std::optional<SettingRequest> Pop();
    // Everything still waiting, in the order it would have gone.
    std::vector<SettingRequest> TakeAll();
    bool Empty() const { return m_guard.empty() && m_byClient.empty(); }

private:
    std::deque<SettingRequest> m_guard;
    std::map<std::uint64_t, std::deque<SettingRequest>> m_byClient;
    std::deque<std::uint64_t> m_turns;  // clients with settings waiting, next turn first
    // The client served last: its next turn is placed only at the next pop, behind every client
    // that came while its setting was on the line.
    std::optional<std::uint64_t> m_served;
    std::function<void()> m_poke;
};

}  // namespace engine
