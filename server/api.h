// The routes of the HTTP API and the component calls behind them. Every
// answer is JSON (a CSV export aside): a route's own body, or
// {"error": {"hresult": "0x...", "message": "..."}} with a fitting status.
#pragma once

#include "server/temporary_file.h"

#include "valmorin/com/unknown.h"

#include <httplib.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

struct ApiRequest {
    const httplib::Request& http;
    httplib::Response& response;
    std::u16string user;                    // who acts: every change is recorded under this name
    TemporaryFile* upload;                  // a CSV body, kept as it arrived; otherwise the body is http.body
    std::optional<TemporaryFile>& download; // where a route puts an answer too large to hold
    // A lookup answered where it arrived: its store's lock is never waited
    // for, and a locked store is told by storeLocked.
    bool neverWait = false;
    bool storeLocked = false;
};

// The most a JSON body may hold; a CSV body's limit is the server's option.
constexpr std::size_t kMostJsonBody = 1 << 20;

// Makes a component object; throws std::runtime_error saying why it cannot.
using ComponentMaker = std::function<CComPtr<IDispatch>()>;

// The component object of the calling thread, made at its first request
// by makeComponent, on the connection string when one is given; a lookup
// that never waits opens the other one.
void UseConnections(ComponentMaker makeComponent, const std::u16string& connectionString,
                    const std::u16string& neverWaiting);

// Answers a request under /api/ (the session routes aside); false when no
// route has its method and path.
bool HandleApi(ApiRequest& request);
// Whether the route of the method and request target takes a CSV body.
bool TakesCsv(const std::string& method, const std::string& target);

// Whether the method and request target ask for one lookup (GET or HEAD
// /api/translate/...): a read of a single row that holds no worker long.
bool AsksOneLookup(const std::string& method, const std::string& target);

// A text for the log: control, non-ASCII and backslash bytes escaped, so
// that a client's bytes cannot forge log lines, and cut at 256 bytes, so
// that a client cannot fill the log with one request.
std::string Printable(const std::string& text);

// The error body, and the status with it.
void AnswerError(httplib::Response& response, int status, long hresult, const std::string& message);

// The OpenAPI description of the API, kept in docs/openapi.json.
const std::string& OpenApiDescription();
