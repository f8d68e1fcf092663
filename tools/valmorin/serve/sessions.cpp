#include "serve/sessions.h"

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
    std::string token = RandomToken();
    const std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(m_sessions, [&](const auto& entry) { return entry.second.expires < now; });
    m_sessions[token] = {user, RandomToken(), std::chrono::steady_clock::now() + kLifetime};
    return token;
}

std::optional<Session> Sessions::Find(const std::string& token)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(token);
    if (it == m_sessions.end()) return std::nullopt;
    if (it->second.expires < std::chrono::steady_clock::now()) {
        m_sessions.erase(it);
        return std::nullopt;
    }
    return it->second;
}

void Sessions::Close(const std::string& token)
{
    const std::lock_guard lock(m_mutex);
    m_sessions.erase(token);
}
