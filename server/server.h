// The server: the component over HTTP (server/router.h) and the console that
// calls it, with the accounts of an htpasswd file or, without one, for
// loopback clients only. The program that runs it (valmorin serve) reads
// its options and lends it what only the program knows: how it makes the
// component, and which stores are files of this machine.
#pragma once

#include "valmorin/com/unknown.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8470;           // 0: the kernel picks
    std::u16string connection; // the store's, when given apart from the data sources
    std::string users, certificate, key;
    std::size_t csvLimit = std::size_t{256} << 20;
    unsigned threads = 8;
    std::chrono::seconds headerTimeout{10};
    std::set<std::string> allowedHosts; // besides the listening address and localhost
    // Addresses of proxies whose X-Forwarded-For names the client: what
    // the server's throttles, loopback rights and log take as its address.
    std::set<std::string> trustedProxies;
    // Where /metrics is also served, to anyone who reaches it, with
    // /healthz and /readyz and nothing else: an operators' network. None
    // without a host.
    std::string metricsHost;
    int metricsPort = 0;
    // The read store: PostgreSQL standbys of the write store, which is then
    // named by connection; none without.
    std::u16string readConnection;
    std::uint64_t readLag = 1 << 20;          // bytes of WAL a standby may be behind
    std::chrono::milliseconds readWait{1000}; // for a standby to replay a write's position
    // Bytes of WAL past which the standby's lag makes /readyz not ready;
    // none: the lag leaves it ready, as the primary answers past readLag.
    std::optional<std::uint64_t> readyLag;
};

// Makes a component object; throws std::runtime_error saying why it cannot.
using ComponentMaker = std::function<CComPtr<IDispatch>()>;

// What the server takes from the program that runs it.
struct ServerNeeds {
    // Makes the objects the server calls as the program makes its own.
    ComponentMaker makeComponent;
    // The connection on which lookups are answered where they arrive,
    // never waiting for the store's lock, for the connection string given
    // (empty: the default data source's); none when the store cannot be
    // reached so.
    std::function<std::optional<std::u16string>(const std::u16string& connection)> neverWaitingConnection;
};

// Serves until SIGTERM or SIGINT, then returns 0; returns 2 when the server
// cannot start, having said why on standard error. A stop that cuts
// requests short ends the process with 1 there and then.
int RunServer(const ServerOptions& options, const ServerNeeds& needs);
