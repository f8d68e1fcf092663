// Arguments and store snapshots for the tests of the administration methods.
#pragma once

#include "support/store.h"

#include <optional>
#include <string>
#include <vector>

// A BSTR argument: a text, or NULL from std::nullopt.
class Arg {
public:
    Arg(const char16_t* text) : m_bstr(std::u16string_view(text)) {}
    Arg(const std::u16string& text) : m_bstr(std::u16string_view(text)) {}
    Arg(std::nullopt_t) {}
    operator BSTR() const { return m_bstr.get(); }

private:
    CComBSTR m_bstr;
};

// Every row of the three tables as stored (quote() keeps types and bytes
// apart), in storage order: equal dumps mean an untouched store.
inline std::vector<std::u16string> StoreDump(const TestStore& store)
{
    return store.Column(
        "SELECT 'T' || rowid || ':' || quote(ID_TABLE) || quote(NB_COLS) || quote(NOM) || quote(DESCRIPTION) || "
        "quote(USER_CODE_LASTACTION) FROM QM_TABLES UNION ALL "
        "SELECT 'D' || rowid || ':' || quote(ID_TABLE) || quote(ID_COL) || quote(NAME_COL) || quote(INOUT) "
        "FROM QM_DICO UNION ALL SELECT 'V' || rowid || ':' || quote(ID_TABLE) || quote(INPUT) || quote(OUTPUT) || "
        "quote(USER_CODE_LASTACTION) FROM QM_VALMOR");
}

using Rows = std::vector<std::u16string>;
