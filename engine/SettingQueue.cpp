#include "engine/SettingQueue.h"

#include <algorithm>
#include <utility>

namespace engine {

namespace {

bool IsOff(const SettingRequest& request)
{
    return request.kind == proto::SettingKind::kOutput && request.value == proto::kOutputOff;
}

}  // namespace

void SettingQueue::Push(SettingRequest request)
{
    request.askedUs = m_now();
    if (IsOff(request)) {
        m_offs.push_back(std::move(request));
    } else {
        std::deque<SettingRequest>& mine = m_byClient[request.client];
        if (mine.empty() && m_served != request.client)
            m_turns.push_back(request.client);
        mine.push_back(std::move(request));
    }
    if (m_poke)
        m_poke();
}

std::optional<SettingRequest> SettingQueue::PopOff()
{
    if (m_offs.empty())
        return std::nullopt;
    SettingRequest next = std::move(m_offs.front());
    m_offs.pop_front();
    return next;
}

std::optional<SettingRequest> SettingQueue::Pop()
{
    if (std::optional<SettingRequest> off = PopOff())
        return off;
    if (m_served && m_byClient.count(*m_served))
        m_turns.push_back(*m_served);
    m_served.reset();
    if (m_turns.empty())
        return std::nullopt;
    const std::uint64_t client = m_turns.front();
    m_turns.pop_front();
    std::deque<SettingRequest>& theirs = m_byClient[client];
    SettingRequest next = std::move(theirs.front());
    theirs.pop_front();
    if (theirs.empty())
        m_byClient.erase(client);
    else
        m_served = client;
    return next;
}

std::vector<SettingRequest> SettingQueue::TakeAll()
{
    std::vector<SettingRequest> all;
    while (std::optional<SettingRequest> next = Pop())
        all.push_back(std::move(*next));
    return all;
}

void SettingQueue::RemoveIf(const std::function<bool(const SettingRequest&)>& leaves, std::vector<SettingRequest>& into)
{
    const auto take = [&](std::deque<SettingRequest>& from) {
        for (auto it = from.begin(); it != from.end();) {
            if (leaves(*it)) {
                into.push_back(std::move(*it));
                it = from.erase(it);
            } else {
                ++it;
            }
        }
    };
    take(m_offs);
    for (auto it = m_byClient.begin(); it != m_byClient.end();) {
        take(it->second);
        it = it->second.empty() ? m_byClient.erase(it) : std::next(it);
    }
    m_turns.erase(std::remove_if(m_turns.begin(), m_turns.end(),
                      [this](std::uint64_t client) { return m_byClient.count(client) == 0; }),
        m_turns.end());
    if (m_served && m_byClient.count(*m_served) == 0)
        m_served.reset();
}

void SettingQueue::Withdraw(std::uint64_t client)
{
    std::vector<SettingRequest> gone;
    RemoveIf([client](const SettingRequest& r) { return r.client == client; }, gone);
    if (m_dropped)
        for (const SettingRequest& request : gone)
            m_dropped(request, Fate::kWithdrawn);
}

std::vector<SettingRequest> SettingQueue::TakeAskedBefore(Us cutoff)
{
    std::vector<SettingRequest> old;
    RemoveIf([cutoff](const SettingRequest& r) { return r.askedUs < cutoff; }, old);
    return old;
}

Us SettingQueue::OldestUs() const
{
    Us oldest = kNever;
    for (const SettingRequest& r : m_offs)
        oldest = std::min(oldest, r.askedUs);
    for (const auto& [client, theirs] : m_byClient)
        for (const SettingRequest& r : theirs)
            oldest = std::min(oldest, r.askedUs);
    return oldest;
}

}  // namespace engine
