// A PostgreSQL server's socket relayed through a folder of its own, as a
// network between a client and its server would carry it, with the faults
// a network has: what the server sends back held, as on a congested link,
// while the client's queries still go out; and the end of a link the server
// closed kept from the client until the client next sends.
#pragma once

#include "platform/posix/unique_fd.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class PgRelay {
public:
    // Relays `serverFolder`'s socket for `port` through `folder`, which a
    // client names as its host.
    PgRelay(const std::filesystem::path& folder, const std::string& serverFolder, const std::string& port);
    ~PgRelay();
    PgRelay(const PgRelay&) = delete;
    PgRelay& operator=(const PgRelay&) = delete;

    // Holds what the server sends back to the cache's watch from the watch's
    // next query on; returns when that query went out, once it has.
    std::chrono::steady_clock::time_point Hold();
    std::size_t Held();
    // Lets the first bytes held go.
    void Release(std::size_t bytes);
    // Lets everything through again.
    void Open();

    // From now on, a server that closes a link has its goodbye passed on but
    // not its end, which the client learns only by sending again.
    void HoldEnds();
    // How many links the server has closed whose end is being held; its
    // goodbye, sent before it, has been passed on.
    int EndsHeld();

private:
    struct Pair {
        UniqueFd client, server;
        bool named = false, watch = false;
    };
    bool Pass(Pair& pair, bool fromClient);
    void ReleaseAsked();
    void Run();
    void Accept(std::list<Pair>& pairs);

    const std::string m_server;
    UniqueFd m_listener;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_armed = false, m_holding = false, m_holdingEnds = false;
    int m_endsHeld = 0;
    std::chrono::steady_clock::time_point m_heldSince;
    std::string m_held;
    std::size_t m_release = 0;
    Pair* m_holdingFor = nullptr;
    std::thread m_thread;
};
