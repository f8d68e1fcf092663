#include "server/call.h"
#include "server/refusal.h"
#include "server/thread_components.h"

#include "platform/text/utf.h"

IValmorin3& Call::Valmorin() const
{
    return readFrom ? components.ForReading(*readFrom) : components.ForThisThread(exchange.atOnce);
}

void AnswerJson(Call& call, int status, const std::string& body)
{
    call.response().status = status;
    call.response().set_content(body, "application/json; charset=utf-8");
}

void AnswerJson(Call& call, int status, const Json& body)
{
    AnswerJson(call, status, body.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void NoContent(Call& call) { call.response().status = 204; }

CComBSTR Text(const std::u16string& text) { return CComBSTR(std::u16string_view(text)); }

std::u16string CallText(const std::function<HRESULT(BSTR*)>& call)
{
    BSTR text = nullptr;
    const HRESULT hr = call(&text);
    CComBSTR owned;
    owned.Attach(text);
    Checked(hr);
    return std::u16string(owned.view());
}

LONG CallNumber(const std::function<HRESULT(LONG*)>& call)
{
    LONG number = 0;
    Checked(call(&number));
    return number;
}

void TellRevision(Call& call, const std::u16string& revision)
{
    call.response().set_header("X-Valmorin-Revision", valmorin::text::Utf16ToUtf8(revision));
}

void TellStoreRevision(Call& call)
{
    if (call.response().has_header("X-Valmorin-Revision")) return;
    CComBSTR revision;
    if (SUCCEEDED(call.Valmorin().Revision(&revision))) TellRevision(call, std::u16string(revision.view()));
}

void RequireTable(const Call& call, const std::u16string& table)
{
    if (CallNumber([&](LONG* found) { return call.Valmorin().TableExists(Text(table).get(), found); }) == 0)
        Refuse(404, "no table is named \"" + valmorin::text::Utf16ToUtf8(table) + "\"", kNotFound);
}
