#include "server/refusal.h"
#include "server/server_log.h"

#include "platform/ado/ado.h"
#include "platform/text/utf.h"
#include "valmorin/com/errorinfo.h"

#include <nlohmann/json.hpp>

namespace {

using valmorin::text::Utf16ToUtf8;

// A lock another of the store's users held past the wait: SQLite's busy
// store (HYT00), PostgreSQL's lock not available (55P03).
bool StoreLocked(const CallFailure& failure)
{
    return failure.sqlState == u"HYT00" || failure.sqlState == u"55P03" || failure.hr == DB_E_ABORTLIMITREACHED;
}

// The status a component failure answers with: the caller's mistake, a rule
// of the store, the store out of reach or locked, or the server's own
// trouble.
int StatusOf(const CallFailure& failure)
{
    // SQLSTATE class 08 is a connection exception, class 57 an operator's
    // intervention (the server shutting down, the session ended).
    const bool connectionLost = failure.sqlState.starts_with(u"08") || failure.sqlState.starts_with(u"57");
    if (connectionLost || failure.hr == adErrInvalidConnection || StoreLocked(failure)) return 503;
    switch (failure.hr) {
    case E_INVALIDARG:
    case HRESULT_FROM_WIN32(ERROR_INVALID_DATA):
    case DB_E_ERRORSINCOMMAND: // a text no statement can carry
    case DISP_E_TYPEMISMATCH:
    case DB_E_CANTCONVERTVALUE:
    case DB_E_DATAOVERFLOW: return 400;
    case DB_E_INTEGRITYVIOLATION: return 409; // a rule of the store
    case HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND):
    case HRESULT_FROM_WIN32(ERROR_NOT_FOUND): return 404; // a thing the call names is not there
    case E_ACCESSDENIED: return 403;
    case RPC_E_CALL_CANCELED: return 503; // the server is stopping
    default: return 500;
    }
}

} // namespace

void Refuse(int status, const std::string& message, long hresult) { throw Refusal{status, hresult, message}; }

std::string QuotedUpTo(const std::string& text, std::size_t longest)
{
    return text.size() <= longest ? "\"" + text + "\"" : "of " + std::to_string(text.size()) + " bytes";
}

void Failed(HRESULT hr)
{
    const CallFailure failure = Described(TakeCallFailure(hr));
    const std::string message = Utf16ToUtf8(failure.source) + ": " + Utf16ToUtf8(failure.description);
    const int status = StatusOf(failure);
    if (StoreLocked(failure))
        throw Refusal{status, hr, "the store is locked by another of its users; try again later", true};
    // Why the store is out of reach names the server's files and hosts:
    // the operator's to read, in the server's log, never a client's.
    if (status == 503 && hr != RPC_E_CALL_CANCELED) {
        WriteLog("valmorin serve: the store is out of reach: " + Printable(message) + "\n");
        throw Refusal{status, hr, "the store is out of reach; try again later"};
    }
    throw Refusal{status, hr, message};
}

HRESULT Checked(HRESULT hr)
{
    if (FAILED(hr)) Failed(hr);
    return hr;
}

void AnswerError(httplib::Response& response, int status, long hresult, const std::string& message)
{
    using Json = nlohmann::json;
    response.status = status;
    response.set_content(
        Json{{"error", {{"hresult", HresultText(static_cast<HRESULT>(hresult))}, {"message", message}}}}.dump(
            -1, ' ', false, Json::error_handler_t::replace),
        "application/json; charset=utf-8");
}

void AnswerRefusal(httplib::Response& response, const Refusal& refusal)
{
    AnswerError(response, refusal.status, refusal.hresult, refusal.message);
    if (refusal.storeLocked) response.set_header("Retry-After", "1");
}
