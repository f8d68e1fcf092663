// JSON texts of the component, written by nlohmann/json: every text is
// escaped as RFC 8259 requires, numbers are numbers.
#pragma once

#include "valmorin/com/bstr.h"

#include <nlohmann/json.hpp>

namespace qmt {
class CAdoRecord;
}

#include <string>

using Json = nlohmann::ordered_json; // fields in the order written

// A UTF-16 text as the library takes it; an unpaired surrogate becomes U+FFFD.
std::string JsonString(const std::u16string& text);
std::string DumpJson(const Json& value);
// The field's text, null for a NULL field.
Json JsonTextOrNull(const qmt::CAdoRecord& row, LONG position);
// The UTF-8 text as a new BSTR the caller owns.
BSTR JsonToBstr(const std::string& text);

// The items of a listing, joined by commas as they come, so that a listing
// of many rows never holds them twice.
class JsonItems {
public:
    void Append(const Json& item);
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

// An object's text with a last field "list" holding the items.
std::string WithList(const Json& object, const JsonItems& items);
