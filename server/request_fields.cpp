#include "server/request_fields.h"
#include "server/refusal.h"

#include "platform/text/json_nesting.h"
#include "platform/text/marks.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <exception>

namespace {

std::string FieldName(const char* name) { return std::string("the field \"") + name + "\""; }

} // namespace

std::u16string RequestText(const std::string& utf8, const std::string& what)
{
    std::optional<std::u16string> wide = valmorin::text::Utf8ToUtf16(utf8);
    if (!wide) Refuse(400, what + " is not valid UTF-8");
    if (wide->find(u'\0') != std::u16string::npos) Refuse(400, what + " holds a NUL character");
    return std::move(*wide);
}

Json ParseBody(const Call& call)
{
    const std::string& text = call.request().body;
    if (text.empty()) return Json::object();
    Json body;
    try {
        body = valmorin::text::ParseJsonNestedAtMost<Json>(text);
    } catch (const Json::exception& e) { // a syntax error, or a number past a double's range
        Refuse(400, std::string("the body is not valid JSON: ") + e.what());
    } catch (const valmorin::text::JsonTooDeep& e) {
        Refuse(400, std::string("the body is refused: ") + e.what());
    }
    if (!body.is_object()) Refuse(400, "the body is not a JSON object");
    return body;
}

std::optional<std::u16string> BodyFields::OptionalText(const char* name)
{
    m_known.push_back(name);
    const auto it = m_body.find(name);
    if (it == m_body.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) Refuse(400, FieldName(name) + " is not a string");
    return RequestText(it->get<std::string>(), FieldName(name));
}

std::u16string BodyFields::Text(const char* name)
{
    std::optional<std::u16string> text = OptionalText(name);
    if (!text) Refuse(400, FieldName(name) + " is missing");
    return *text;
}

Json BodyFields::Array(const char* name)
{
    m_known.push_back(name);
    const auto it = m_body.find(name);
    if (it == m_body.end() || it->is_null()) return Json::array();
    if (!it->is_array()) Refuse(400, FieldName(name) + " is not an array");
    return *it;
}

void BodyFields::NoOthers() const
{
    for (const auto& [key, value] : m_body.items())
        if (std::find(m_known.begin(), m_known.end(), key) == m_known.end())
            Refuse(400, "the body has an unknown field \"" + key + "\"");
}

std::u16string NewName(std::u16string name, const std::string& what)
{
    if (name.empty()) Refuse(400, what + " is empty");
    if (std::any_of(name.begin(), name.end(), valmorin::text::Unshowable))
        Refuse(400, what + " holds a control character, an invisible mark or one that reorders text");
    return name;
}

LONG QueryNumber(const Call& call, const char* name, LONG fallback)
{
    if (!call.request().has_param(name)) return fallback;
    const std::string text = call.request().get_param_value(name);
    try {
        std::size_t used = 0;
        const long value = std::stol(text, &used);
        if (used == text.size() && value >= 0 && value <= 0x7FFFFFFF) return static_cast<LONG>(value);
    } catch (const std::exception&) {
    }
    Refuse(400, std::string("the query parameter \"") + name + "\" is not a number from 0 to 2147483647");
}
