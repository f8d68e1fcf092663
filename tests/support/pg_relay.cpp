#include "support/pg_relay.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

sockaddr_un Address(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

bool Send(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::write(fd, bytes.data(), bytes.size());
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

} // namespace

PgRelay::PgRelay(const std::filesystem::path& folder, const std::string& serverFolder, const std::string& port)
    : m_server(serverFolder + "/.s.PGSQL." + port), m_listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const sockaddr_un address = Address((folder / (".s.PGSQL." + port)).string());
    if (::bind(m_listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener.get(), 16) != 0)
        throw std::runtime_error("the relay cannot listen");
    m_thread = std::thread([this] { Run(); });
}

PgRelay::~PgRelay()
{
    m_stop.store(true);
    m_thread.join();
}

std::chrono::steady_clock::time_point PgRelay::Hold()
{
    std::unique_lock lock(m_mutex);
    m_armed = true;
    m_changed.wait(lock, [&] { return !m_armed; });
    return m_heldSince;
}

std::size_t PgRelay::Held()
{
    const std::lock_guard lock(m_mutex);
    return m_held.size();
}

void PgRelay::Release(std::size_t bytes)
{
    const std::lock_guard lock(m_mutex);
    m_release = bytes;
}

void PgRelay::Open()
{
    const std::lock_guard lock(m_mutex);
    m_holding = false;
    m_release = m_held.size();
}

void PgRelay::HoldEnds()
{
    const std::lock_guard lock(m_mutex);
    m_holdingEnds = true;
}

int PgRelay::EndsHeld()
{
    const std::lock_guard lock(m_mutex);
    return m_endsHeld;
}

// Copies what one side sent to the other; false when the link ended.
bool PgRelay::Pass(Pair& pair, bool fromClient)
{
    char buffer[65536];
    const ssize_t got = ::read(fromClient ? pair.client.get() : pair.server.get(), buffer, sizeof buffer);
    const std::lock_guard lock(m_mutex);
    if (got <= 0 && !fromClient && m_holdingEnds) {
        pair.server = UniqueFd(-1); // no longer polled; the client's next bytes end the link
        ++m_endsHeld;
        return true;
    }
    if (got <= 0) return false;
    const std::string_view bytes(buffer, static_cast<std::size_t>(got));
    if (fromClient && !std::exchange(pair.named, true)) pair.watch = bytes.find("valmorin watch") != bytes.npos;
    if (fromClient && pair.watch && m_armed) {
        m_armed = false;
        m_release = 0;
        m_holding = true;
        m_heldSince = std::chrono::steady_clock::now();
        m_changed.notify_all();
    }
    if (!fromClient && pair.watch && m_holding) {
        m_held.append(bytes);
        m_holdingFor = &pair;
        return true;
    }
    return Send(fromClient ? pair.server.get() : pair.client.get(), bytes);
}

void PgRelay::ReleaseAsked()
{
    const std::lock_guard lock(m_mutex);
    if (m_release == 0 || !m_holdingFor) return;
    const std::size_t bytes = std::min(m_release, m_held.size());
    Send(m_holdingFor->client.get(), std::string_view(m_held).substr(0, bytes));
    m_held.erase(0, bytes);
    m_release = 0;
}

void PgRelay::Run()
{
    std::list<Pair> pairs;
    while (!m_stop.load()) {
        ReleaseAsked();
        std::vector<pollfd> fds{{m_listener.get(), POLLIN, 0}};
        for (const Pair& pair : pairs) {
            fds.push_back({pair.client.get(), POLLIN, 0});
            fds.push_back({pair.server.get(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 5) <= 0) continue;
        std::size_t at = 1;
        for (auto pair = pairs.begin(); at < fds.size(); at += 2) {
            const bool ended = ((fds[at].revents & (POLLIN | POLLHUP)) && !Pass(*pair, true)) ||
                               ((fds[at + 1].revents & (POLLIN | POLLHUP)) && !Pass(*pair, false));
            if (!ended) {
                ++pair;
                continue;
            }
            const std::lock_guard lock(m_mutex);
            if (m_holdingFor == &*pair) m_holdingFor = nullptr;
            pair = pairs.erase(pair);
        }
        if (fds[0].revents & POLLIN) Accept(pairs); // polled from the next turn on
    }
}

void PgRelay::Accept(std::list<Pair>& pairs)
{
    UniqueFd client(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    UniqueFd server(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = Address(m_server);
    if (client && server && ::connect(server.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        pairs.push_back(Pair{std::move(client), std::move(server)});
}
