// Settings waiting for the line, each stamped when it was asked. An OFF from any client goes first;
// the others take turns by whole settings in the order they came: a client with a stream of
// settings waits behind at most one setting of each other client and never starves them. A client
// that has gone has its settings withdrawn; a setting that waited too long is never sent. One
// thread: the line's owner and the clients share it.
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
    // A setting not started within this of its request fails, unsent: a client's wait (ampctl's
    // default 2 s) less a margin, so what it gave up on never goes out after it.
    static constexpr Us kMaxAgeUs = MsToUs(1500);

    // now: the line's clock, for the stamps.
    explicit SettingQueue(std::function<Us()> now) : m_now(std::move(now)) {}

    // Called after every push, so a driver waiting for the line's next time looks again.
    void OnPush(std::function<void()> poke) { m_poke = std::move(poke); }
    // Where settings that leave the queue unsent are finished (withdrawn).
    void OnDropped(std::function<void(const SettingRequest&, Fate)> finish) { m_dropped = std::move(finish); }

    // Stamps the request with the time it was asked.
    void Push(SettingRequest request);
    std::optional<SettingRequest> Pop();
    // An OFF waiting, if any: it goes before everything else.
    std::optional<SettingRequest> PopOff();
    // Everything still waiting, in the order it would have gone.
    std::vector<SettingRequest> TakeAll();
    // What waits for the client is withdrawn, unsent (finished as kWithdrawn).
    void Withdraw(std::uint64_t client);
    // What was asked before cutoff.
    std::vector<SettingRequest> TakeAskedBefore(Us cutoff);
    // When the oldest waiting setting was asked; kNever when none waits.
    Us OldestUs() const;
    bool Empty() const { return m_offs.empty() && m_byClient.empty(); }
    Us Now() const { return m_now(); }

private:
    void RemoveIf(const std::function<bool(const SettingRequest&)>& leaves, std::vector<SettingRequest>& into);

    std::function<Us()> m_now;
    std::deque<SettingRequest> m_offs;  // output OFF, from any client: before every turn
    std::map<std::uint64_t, std::deque<SettingRequest>> m_byClient;
    std::deque<std::uint64_t> m_turns;  // clients with settings waiting, next turn first
    // The client served last: its next turn is placed only at the next pop, behind every client
    // that came while its setting was on the line.
    std::optional<std::uint64_t> m_served;
    std::function<void()> m_poke;
    std::function<void(const SettingRequest&, Fate)> m_dropped;
};

}  // namespace engine
