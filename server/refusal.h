// How the server says no: the error body every refusal carries,
// {"error": {"hresult": "0x...", "message": "..."}}, and the refusals the
// routes throw, a failed call of the component's among them, with the
// status that fits.
#pragma once

#include "platform/win32/errors.h"
#include "valmorin/com/types.h"

#include <httplib.h>

#include <string>

// A request the API refuses, with its status and why.
struct Refusal {
    int status;
    long hresult;
    std::string message;
    bool storeLocked = false; // another of the store's users holds its lock: worth another try
};

constexpr long kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

[[noreturn]] void Refuse(int status, const std::string& message, long hresult = E_INVALIDARG);

// A client's text as a refusal names it: quoted while it is no longer than
// longest, else by its length ("of N bytes"), so that no answer is filled
// with a stranger's own bytes.
std::string QuotedUpTo(const std::string& text, std::size_t longest);

// The refusal of a failed call of the component's: the caller's mistake,
// a rule of the store, the store out of reach or locked, or the server's
// own trouble. Why the store is out of reach goes to the server's log only.
[[noreturn]] void Failed(HRESULT hr);

// hr, unless it failed.
HRESULT Checked(HRESULT hr);

// The error body, and the status with it.
void AnswerError(httplib::Response& response, int status, long hresult, const std::string& message);
// A refusal as its answer says it, Retry-After with it when worth another try.
void AnswerRefusal(httplib::Response& response, const Refusal& refusal);
