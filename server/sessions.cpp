#include "server/sessions.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include <sys/random.h>

std::string RandomToken()
{
    std::array<unsigned char, 32> bytes{};
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (n < 0) throw std::runtime_error("no randomness from the kernel");
        got += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 0xF];
    }
    return token;
}

std::string Sessions::Open(const std::string& user)
{
    std::string token = RandomToken(), csrf = RandomToken();
    const std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    DropEnded(now);
    std::deque<std::string>& mine = m_byUser[user];
    if (mine.size() >= kMostPerUser) Forget(m_sessions.find(mine.front()));
    m_sessions[token] = {user, std::move(csrf), now + kLifetime};
    m_byUser[user].push_back(token);
    return token;
}

void Sessions::Forget(std::map<std::string, Session>::iterator session)
{
    if (session == m_sessions.end()) return;
    const auto mine = m_byUser.find(session->second.user);
    if (mine != m_byUser.end()) {
        std::erase(mine->second, session->first);
        if (mine->second.empty()) m_byUser.erase(mine);
    }
    m_sessions.erase(session);
}

void Sessions::DropEnded(std::chrono::steady_clock::time_point now)
{
    if (now - m_dropped < std::chrono::minutes(1)) return;
    m_dropped = now;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const auto next = std::next(it);
        if (it->second.expires < now) Forget(it);
        it = next;
    }
}

std::optional<Session> Sessions::Find(const std::string& token)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(token);
    if (it == m_sessions.end()) return std::nullopt;
    if (it->second.expires < std::chrono::steady_clock::now()) {
        Forget(it);
        return std::nullopt;
    }
    return it->second;
}

void Sessions::Close(const std::string& token)
{
    const std::lock_guard lock(m_mutex);
    Forget(m_sessions.find(token));
}
