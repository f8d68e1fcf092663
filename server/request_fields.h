// What a request says, read and checked: texts, the JSON body's fields,
// names of new things, numbers of the query. What does not pass is
// refused (400) saying which part and why.
#pragma once

#include "server/call.h"

#include <optional>
#include <string>
#include <vector>

// A UTF-8 text of the request, as UTF-16: what names it says what it is
// ("the field \"name\""). Refused unless valid UTF-8 without NUL.
std::u16string RequestText(const std::string& utf8, const std::string& what);

// The body, a JSON object; an empty body is an empty object.
Json ParseBody(const Call& call);

// The body's fields, each of the type asked; any other field is refused.
class BodyFields {
public:
    explicit BodyFields(Json body) : m_body(std::move(body)) {}

    std::optional<std::u16string> OptionalText(const char* name);
    std::u16string Text(const char* name);
    Json Array(const char* name); // an absent array is empty
    // Call once every field was asked for.
    void NoOthers() const;

private:
    Json m_body;
    std::vector<std::string> m_known;
};

// A name the request gives to something new: a table, a column, a counter.
// Quotes and markup are data like any other; what cannot be shown as it is
// is refused.
std::u16string NewName(std::u16string name, const std::string& what);

// The query parameter, a number from 0 to 2^31 - 1, or fallback when absent.
LONG QueryNumber(const Call& call, const char* name, LONG fallback);
