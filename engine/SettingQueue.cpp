#include "engine/SettingQueue.h"

#include <utility>

namespace engine {

void SettingQueue::Push(SettingRequest request)
{
    if (request.byGuard) {
        m_guard.push_back(std::move(request));
    } else {
        std::deque<SettingRequest>& mine = m_byClient[request.client];
        if (mine.empty() && m_served != request.client)
            m_turns.push_back(request.client);
        mine.push_back(std::move(request));
    }
    if (m_poke)
        m_poke();
}

std::optional<SettingRequest> SettingQueue::Pop()
{
    if (!m_guard.empty()) {
        SettingRequest next = std::move(m_guard.front());
        m_guard.pop_front();
        return next;
    }
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

}  // namespace engine
