// What a route's handler is given, and the steps most handlers take: the
// request and its answer, the path's parameters, who calls, this thread's
// component object, and the server's accounts; the component's calls made
// and checked, JSON answers.
#pragma once

#include "server/http_engine.h"

#include "valmorin/com/bstr.h"
#include "valmorin/valmorin.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class Authentication;
class ThreadComponents;

using Json = nlohmann::json;

struct Call {
    Exchange& exchange;             // the request, its answer, and the files of either
    std::vector<std::u16string> at; // the path's parameters ({name}, {input}), decoded, in order
    std::u16string user;            // who acts: every change is recorded under this name
    ThreadComponents& components;
    Authentication& authentication;
    // The standby that answers this lookup; none: the write store does.
    std::optional<std::u16string> readFrom = std::nullopt;

    const httplib::Request& request() const { return exchange.request; }
    httplib::Response& response() const { return exchange.response; }
    // This thread's object; for a lookup answered where it arrived, the one
    // whose store's lock is never waited for.
    IValmorin3& Valmorin() const;
};

void AnswerJson(Call& call, int status, const std::string& body);
void AnswerJson(Call& call, int status, const Json& body);
void NoContent(Call& call);

// A BSTR argument made from UTF-16.
CComBSTR Text(const std::u16string& text);
// The component's calls, each checked: a failure throws its Refusal.
std::u16string CallText(const std::function<HRESULT(BSTR*)>& call);
LONG CallNumber(const std::function<HRESULT(LONG*)>& call);

// The revision a write made, in the X-Valmorin-Revision header every write
// answers with.
void TellRevision(Call& call, const std::u16string& revision);
// After a write of a method that names no revision: the store's revision
// read right after it on this thread's object, at or after the write's own
// (none for a store that keeps no history).
void TellStoreRevision(Call& call);

// Refuses (404) a table that does not exist.
void RequireTable(const Call& call, const std::u16string& table);
