// The HTTP engine of valmorin serve: connections, TLS, parsing and
// deadlines, event-driven on a few I/O threads (Boost.Beast over
// Boost.Asio, all of it in http_engine.cpp), so that connections that send
// slowly or nothing cost a socket and a little memory, never a thread. The
// server's decisions and the component's calls, which may block, run on a
// pool of workers, those that cannot wait long on the I/O threads. Requests reach the server as cpp-httplib's value types, which
// the routes take.
#pragma once

#include "server/temporary_file.h"

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct EngineOptions {
    std::string host;
    int port = 0;                 // 0: the kernel picks
    std::string certificate, key; // PEM files: TLS when given
    unsigned workers = 8;
    // A request's head must have arrived whole this long after the
    // connection opened (its TLS handshake included) or the previous answer
    // was sent; the connection is closed otherwise.
    std::chrono::seconds headerTimeout{10};
    // A connection between requests that sends nothing is closed after this.
    std::chrono::seconds idleTimeout{5};
    // A second address, for operators' tools on a network of their own:
    // plain HTTP whatever the first speaks, its requests marked inner.
    // None without a host.
    std::string innerHost;
    int innerPort = 0;
    // Fields every answer carries, unless its handler set one of the name;
    // and those only answers over TLS carry.
    std::vector<std::pair<std::string, std::string>> everyAnswer, everySecureAnswer;
};

// Whether every % in the text is followed by two hexadecimal digits: the
// only escape a request's target may hold (a %u escape, which some
// decoders read, is refused rather than read one way here and another way
// by a proxy in front).
bool EscapesAreWellFormed(std::string_view text);

struct Route;

// One request and its answer as the server's code sees them.
struct Exchange {
    httplib::Request request; // its body filled when the body is not an upload
    httplib::Response response;
    std::chrono::steady_clock::time_point start;
    std::string user = "-"; // who, for the access log
    // What answered, for the metrics: the route's path as the server spells
    // it, or a word of its own; empty when the request was refused before
    // anything looked at its path.
    std::string_view route;
    // The route the handler found for the head, once it looked (none when
    // no route takes it): the path is read once for the choice of thread
    // and the admission.
    std::optional<const Route*> routeFound;
    bool inner = false; // it came to the inner address
    // Decided from the head: the most body bytes the request may carry,
    // and the file that takes them when they are an upload.
    std::size_t bodyLimit = 0;
    std::optional<TemporaryFile> upload;
    // An answer whose body is a file (an export): sent from it as the
    // client takes it, never held in memory.
    std::optional<TemporaryFile> download;
    // Set by Admit for a request that changes the store: answered on the
    // writers' own thread, one after another, so that writes waiting their
    // turn (behind an import, say) never take the workers that reads and
    // admissions need.
    bool writes = false;
    // Set by the engine when the request is answered on its I/O thread;
    // set by the handler when it could not be answered there without
    // waiting (another program holds the store's lock): a worker answers
    // it again.
    bool atOnce = false;
    bool handOver = false;
    // The answer is held until then: a login attempt that waits its turn.
    std::chrono::steady_clock::time_point notBefore{};
};

class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // On an I/O thread, cheap, from the request's head alone: true when the
    // request is admitted and answered right there, as a request that waits
    // on nothing (no password to hash, a store of this machine's) costs less
    // than the two hand-overs to a worker and back.
    virtual bool AnswersAtOnce(Exchange& exchange) = 0;
    // On a worker (or where AnswersAtOnce said), from the request's head alone: true with the body's
    // limit set when the body may be read; false when the response is the
    // answer (a refusal), the body then left unread.
    virtual bool Admit(Exchange& exchange) = 0;
    // On a worker (or where AnswersAtOnce said), once the body was read.
    virtual void Answer(Exchange& exchange) = 0;
    // On an I/O thread, cheap, just before the answer is sent: the headers
    // every answer carries, the access log's line.
    virtual void Finish(Exchange& exchange) = 0;
    // On each I/O thread, a few times a second, and once when the engine
    // stops: what Finish kept back is written out.
    virtual void Flush() = 0;
};

class HttpEngine {
public:
    // Listens at once; throws std::runtime_error when it cannot.
    HttpEngine(const EngineOptions& options, HttpHandler& handler);
    ~HttpEngine();
    HttpEngine(const HttpEngine&) = delete;
    HttpEngine& operator=(const HttpEngine&) = delete;

    int port() const;
    // The address listened on, as the name given resolved: "127.0.0.1".
    std::string address() const;
    // The inner address's, when there is one.
    int innerPort() const;
    std::string innerAddress() const;
    // Serves until SIGTERM or SIGINT, then lets the requests in flight
    // finish for at most stopGrace. False when some were cut short: their
    // workers are still in the component's calls, and the process must end
    // without waiting for them.
    bool Run(std::chrono::seconds stopGrace);

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};
