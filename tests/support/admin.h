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

// Every row of the three tables as stored (the quoting keeps types and
// bytes apart), in storage order, each under its identity in the store (a
// ctid names one version of a row): equal dumps mean an untouched store.
inline std::vector<std::u16string> StoreDump(const TestStore& store)
{
    const bool sqlite = store.traits().dialect == Dialect::Sqlite;
    const std::string identity = sqlite ? "rowid" : "ctid";
    auto row = [&](const char* tag, std::initializer_list<const char*> columns, const char* table) {
        std::string sql = "SELECT '" + std::string(tag) + "' || " + identity + " || ':'";
        for (const char* column : columns)
            sql += std::string(" || ") + (sqlite ? "quote(" : "quote_nullable(") + column + ")";
        return sql + " FROM " + table;
    };
    return store.Column(row("T", {"ID_TABLE", "NB_COLS", "NOM", "DESCRIPTION", "USER_CODE_LASTACTION"}, "QM_TABLES") +
                        " UNION ALL " + row("D", {"ID_TABLE", "ID_COL", "NAME_COL", "INOUT"}, "QM_DICO") +
                        " UNION ALL " + row("V", {"ID_TABLE", "INPUT", "OUTPUT", "USER_CODE_LASTACTION"}, "QM_VALMOR"));
}

// A row trigger `name` on `table` that fires at `event` ("BEFORE UPDATE OF
// OUTPUT") for rows whose NEW values meet `condition`, running one
// statement, written for each dialect: a PostgreSQL trigger runs a PL/pgSQL
// function of the same name.
inline void CreateRowTrigger(const TestStore& store, const std::string& name, const std::string& event,
                             const std::string& table, const std::string& condition, const std::string& sqliteAction,
                             const std::string& postgresAction)
{
    if (store.traits().dialect == Dialect::Sqlite)
        return store.Run("CREATE TRIGGER " + name + " " + event + " ON " + table + " FOR EACH ROW WHEN " + condition +
                         " BEGIN " + sqliteAction + "; END;");
    store.Run("CREATE FUNCTION " + name + "() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN " + postgresAction +
              "; RETURN NEW; END$$; CREATE TRIGGER " + name + " " + event + " ON " + table + " FOR EACH ROW WHEN (" +
              condition + ") EXECUTE FUNCTION " + name + "();");
}

inline void DropTrigger(const TestStore& store, const std::string& name, const std::string& table)
{
    store.Run(store.traits().dialect == Dialect::Sqlite
                  ? "DROP TRIGGER " + name + ";"
                  : "DROP TRIGGER " + name + " ON " + table + "; DROP FUNCTION " + name + "();");
}

// The store fails the writes of `event` on `table` to rows that meet
// `condition`, until the trigger "refuse" is dropped.
inline void RefuseWrites(const TestStore& store, const std::string& event, const std::string& table,
                         const std::string& condition = "TRUE")
{
    CreateRowTrigger(store, "refuse", "BEFORE " + event, table, condition, "SELECT RAISE(ABORT, 'refused')",
                     "RAISE EXCEPTION 'refused'");
}

// Each row written by `event` on `table` leaves its NEW.<column> in the
// table "writes".
inline void RecordWrites(const TestStore& store, const std::string& event, const std::string& table,
                         const std::string& column)
{
    store.Run("CREATE TABLE writes (n INTEGER);");
    const std::string record = "INSERT INTO writes VALUES (NEW." + column + ")";
    CreateRowTrigger(store, "recorded", "AFTER " + event, table, "TRUE", record, record);
}

using Rows = std::vector<std::u16string>;
