// TableImport: a CSV file read into a table in one transaction. The header
// names the table's columns in any order; each record becomes one
// correspondence, its values joined as the table's layout stores them.
// Any refused record refuses the whole file, and nothing is written.
#include "service/call_frame.h"
#include "service/component_settings.h"
#include "valmorin/com/runtime.h"
#include "service/csv_file.h"
#include "service/json_text.h"
#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"
#include "service/table_columns.h"
#include "service/table_layout.h"

#include "platform/text/utf.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

namespace {

// Mode: bit 0 replaces; bits 8 to 15 give the number of input columns of a
// table the import creates (0 counts as 1).
constexpr LONG kReplace = 1;
constexpr int kNewInputsShift = 8;
constexpr LONG kKnownModeBits = kReplace | (0xFF << kNewInputsShift);
constexpr DWORD kErrorInvalidData = 13; // ERROR_INVALID_DATA

struct ImportRequest {
    std::u16string user, table, path;
    bool replace = false;
    std::size_t newInputs = 1;
};

ImportRequest ReadRequest(BSTR user, BSTR name, BSTR path, LONG mode)
{
    if ((mode & ~kKnownModeBits) != 0)
        RejectArgument(u"Mode " + Decimal(mode) +
                       u" is not a mode of TableImport: 0 merges, 1 replaces, and Mode / 256 gives the number of "
                       u"input columns of a table it creates.");
    ImportRequest request{ServiceText::FromBstr(user).str(), ServiceText::FromBstr(name).str(),
                          ServiceText::FromBstr(path).str(), (mode & kReplace) != 0,
                          std::max<std::size_t>(1, static_cast<std::size_t>(mode >> kNewInputsShift) & 0xFF)};
    if (request.table.empty()) RejectArgument(u"The argument Name is empty: the table to import into has no name.");
    if (request.path.empty()) RejectArgument(u"The argument Path is empty: there is no file to import.");
    return request;
}

struct ImportReport {
    std::int64_t read = 0, added = 0, changed = 0, unchanged = 0, deleted = 0;
    bool created = false, emptied = false;
};

std::string ReportText(const std::u16string& table, const ImportReport& report)
{
    return DumpJson({{"table", JsonString(table)},
                     {"read", report.read},
                     {"added", report.added},
                     {"changed", report.changed},
                     {"unchanged", report.unchanged},
                     {"deleted", report.deleted},
                     {"created", report.created},
                     {"emptied", report.emptied}});
}

std::u16string LineText(std::int64_t line)
{
    const std::string digits = std::to_string(line);
    return std::u16string(digits.begin(), digits.end());
}

// A text of the file as a message quotes it: its first 40 characters.
std::u16string Excerpt(std::u16string_view text)
{
    constexpr std::size_t kQuoted = 40;
    if (text.size() <= kQuoted) return std::u16string(text);
    // A character outside the BMP stands whole or not at all.
    const bool splitsPair = text[kQuoted - 1] >= 0xD800 && text[kQuoted - 1] <= 0xDBFF;
    return std::u16string(text.substr(0, splitsPair ? kQuoted - 1 : kQuoted)) + u"...";
}

// Names the file, the line, the column when there is one, and the rule.
[[noreturn]] void Refuse(const std::u16string& path, std::int64_t line, std::u16string_view column,
                         std::u16string_view rule)
{
    std::u16string where = u"The file " + path + u", line " + LineText(line);
    if (!column.empty()) where += u", column \"" + Excerpt(column) + u"\"";
    throw qmt::CException(u"CValmorin", where + u": " + std::u16string(rule) + u"; nothing was imported.",
                          static_cast<DWORD>(HRESULT_FROM_WIN32(kErrorInvalidData)));
}

// What a record of an imported file may hold: REG_DWORDs "CsvFieldLimit"
// and "CsvRecordLimit" (bytes) and "CsvColumnLimit" beside "Debug": 1 MiB,
// 16 MiB and 4,096 by default.
CsvLimits ImportLimits()
{
    const CsvLimits defaults;
    return {ComponentNumber(u"CsvFieldLimit", static_cast<DWORD>(defaults.fieldBytes)),
            ComponentNumber(u"CsvColumnLimit", static_cast<DWORD>(defaults.fields)),
            ComponentNumber(u"CsvRecordLimit", static_cast<DWORD>(defaults.recordBytes))};
}

// The header's column names, each one once; the field each is in.
std::vector<std::u16string> HeaderNames(const std::u16string& path, const CsvRecord& header)
{
    std::vector<std::u16string> names(header.count);
    std::unordered_set<std::u16string_view> seen;
    for (std::size_t i = 0; i < header.count; ++i) {
        if (!valmorin::text::AppendUtf8AsUtf16(header.fields[i], names[i]))
            Refuse(path, header.line, {},
                   u"the name of column " + Decimal(static_cast<LONG>(i + 1)) + u" of the header is not valid UTF-8");
        if (names[i].find(u'\0') != std::u16string::npos)
            Refuse(path, header.line, {},
                   u"the name of column " + Decimal(static_cast<LONG>(i + 1)) +
                       u" of the header holds a NUL character, which no statement carries");
        if (!seen.insert(names[i]).second) Refuse(path, header.line, names[i], u"the header names this column twice");
    }
    return names;
}

// An import stops, rolled back, when its call is cancelled (a server
// stopping); asked every so many records.
constexpr std::int64_t kRecordsBetweenCancelTests = 1024;

void StopWhenCancelled(std::int64_t records)
{
    if (records % kRecordsBetweenCancelTests == 1 && CoTestCancel() == RPC_E_CALL_CANCELED)
        throw qmt::CException(u"CValmorin", u"The import was cancelled; nothing was imported.",
                              static_cast<DWORD>(RPC_E_CALL_CANCELED));
}

class Importer {
public:
    Importer(qmt::CAdoConnection& connection, const ImportRequest& request, CsvReader& reader)
        : m_connection(connection), m_request(request), m_reader(reader)
    {}

    ImportReport Run(const std::vector<std::u16string>& names, std::int64_t headerLine)
    {
        m_layout = ReadTableLayout(m_connection, m_request.table);
        if (m_layout.id == 0) {
            CreateTable(names, headerLine);
            m_report.created = true;
        }
        PlaceColumns(names, headerLine);
        if (m_report.created || CountRows() == 0)
            LoadIntoEmptyTable();
        else
            Merge();
        return m_report;
    }

private:
    // The header's columns, the first newInputs of them inputs.
    void CreateTable(const std::vector<std::u16string>& names, std::int64_t line)
    {
        const std::size_t inputs = m_request.newInputs;
        if (names.size() <= inputs)
            Refuse(m_request.path, line, {},
                   u"no table is named \"" + m_request.table + u"\", and the header has too few columns to make one: " +
                       Decimal(static_cast<LONG>(inputs)) + u" input columns and at least one output column");
        std::vector<std::u16string> types;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i].empty())
                Refuse(m_request.path, line, {},
                       u"column " + Decimal(static_cast<LONG>(i + 1)) + u" of the header has no name");
            types.push_back(i < inputs ? u"1" : u"0");
        }
        const std::u16string file = std::filesystem::path(m_request.path).filename().u16string();
        m_layout.id =
            ::CreateTable(m_connection, {m_request.user, m_request.table, u"Imported from " + file}, names, types);
        for (std::size_t i = 0; i < names.size(); ++i) m_layout.columns.push_back({names[i], i < inputs});
    }

    // Where each column of the table stands in the records: every column of
    // the table must be in the header, and nothing else.
    void PlaceColumns(const std::vector<std::u16string>& names, std::int64_t line)
    {
        std::unordered_map<std::u16string_view, std::size_t> fieldOfName;
        for (std::size_t field = 0; field < names.size(); ++field) fieldOfName.emplace(names[field], field);
        std::unordered_set<std::u16string_view> tableColumns;
        for (const TableLayout::Column& column : m_layout.columns) tableColumns.insert(column.name);
        for (const std::u16string& name : names)
            if (!tableColumns.contains(name))
                Refuse(m_request.path, line, name, u"table \"" + m_request.table + u"\" has no column of this name");
        for (const TableLayout::Column& column : m_layout.columns) {
            const auto at = fieldOfName.find(column.name);
            if (at == fieldOfName.end())
                Refuse(m_request.path, line, column.name,
                       u"the header lacks this column of table \"" + m_request.table + u"\"");
            m_fieldOf.push_back(at->second);
        }
        m_names = names;
        m_inputs.resize(m_layout.Count(true));
        m_outputs.resize(m_layout.Count(false));
    }

    LONG CountRows() { return QueryNumber(m_connection, Sql<statements::kCountTableRows>(m_layout.id)); }

    // The record's values, checked, and the INPUT and OUTPUT they make.
    void ReadRecord(const CsvRecord& record)
    {
        if (record.count != m_names.size())
            Refuse(m_request.path, record.line, {},
                   u"the record has " + Decimal(static_cast<LONG>(record.count)) + u" fields, the header " +
                       Decimal(static_cast<LONG>(m_names.size())));
        std::size_t input = 0, output = 0;
        for (std::size_t c = 0; c < m_layout.columns.size(); ++c) {
            const bool isInput = m_layout.columns[c].input;
            std::u16string& value = isInput ? m_inputs[input++] : m_outputs[output++];
            ReadValue(record, m_fieldOf[c], isInput ? m_inputs.size() : m_outputs.size(), value);
        }
        JoinValues(m_inputs, m_inputs.size(), m_input);
        JoinValues(m_outputs, m_outputs.size(), m_output);
        ++m_report.read;
    }

    void ReadValue(const CsvRecord& record, std::size_t field, std::size_t sideColumns, std::u16string& value)
    {
        value.clear();
        const std::u16string& column = m_names[field];
        if (!valmorin::text::AppendUtf8AsUtf16(record.fields[field], value))
            Refuse(m_request.path, record.line, column, u"the value is not valid UTF-8");
        if (value.find(u'\0') != std::u16string::npos)
            Refuse(m_request.path, record.line, column, u"the value holds a NUL character, which no statement carries");
        if (sideColumns > 1 && value.find(ValueSeparator) != std::u16string::npos)
            Refuse(m_request.path, record.line, column,
                   u"the value holds a |, which separates the values of this table's several columns on its side");
    }

    // The store's key refuses an INPUT a second time: the table held none,
    // so the first was on an earlier line.
    template <typename Write>
    void RefusingDuplicates(const CsvRecord& record, Write&& write)
    {
        try {
            write();
        } catch (const qmt::CException& failure) {
            if (failure.code != static_cast<DWORD>(DB_E_INTEGRITYVIOLATION)) throw;
            Refuse(m_request.path, record.line, m_names[m_fieldOf[FirstInputColumn()]],
                   u"the INPUT \"" + Excerpt(m_input) + u"\" stands on an earlier line too");
        }
    }

    std::size_t FirstInputColumn() const
    {
        return static_cast<std::size_t>(std::find_if(m_layout.columns.begin(), m_layout.columns.end(),
                                                     [](const TableLayout::Column& column) { return column.input; }) -
                                        m_layout.columns.begin());
    }

    void Insert()
    {
        m_connection.execute(Sql<statements::kInsertImported>(m_layout.id, qmt::Doubled(m_input),
                                                              qmt::Doubled(m_output), qmt::Doubled(m_request.user)),
                             -1);
        ++m_report.added;
    }

    void LoadIntoEmptyTable()
    {
        CsvRecord record;
        while (m_reader.Next(record)) {
            ReadRecord(record);
            StopWhenCancelled(m_report.read);
            RefusingDuplicates(record, [&] { Insert(); });
        }
        m_report.emptied = m_request.replace && m_report.read == 0;
    }

    void Merge()
    {
        m_connection.execute(Sql<statements::kCreateImportSeen>(), -1);
        CsvRecord record;
        while (m_reader.Next(record)) {
            ReadRecord(record);
            StopWhenCancelled(m_report.read);
            RefusingDuplicates(
                record, [&] { m_connection.execute(Sql<statements::kInsertImportSeen>(qmt::Doubled(m_input)), -1); });
            MergeRecord();
        }
        if (m_request.replace) {
            m_report.deleted = m_connection.execute(Sql<statements::kDeleteUnseen>(m_layout.id), -1);
            m_report.emptied = m_report.read == 0;
        }
        m_connection.execute(Sql<statements::kDropImportSeen>(), -1);
    }

    // A stored OUTPUT that holds the record's values, written as the layout
    // would write them or with trailing empty values left out, is unchanged.
    void MergeRecord()
    {
        CComBSTR stored;
        qmt::CAdoRecordset recordset;
        OpenReadOnly(recordset, Sql<statements::kSelectCounter>(m_layout.id, qmt::Doubled(m_input)), m_connection);
        const auto row = recordset.begin();
        const bool found = row != recordset.end();
        if (found) (*row).read(0, stored);
        recordset.close();
        if (!found) {
            Insert();
        } else if (SameValues(stored)) {
            ++m_report.unchanged;
        } else {
            m_connection.execute(Sql<statements::kUpdateImported>(qmt::Doubled(m_output), qmt::Doubled(m_request.user),
                                                                  m_layout.id, qmt::Doubled(m_input)),
                                 -1);
            ++m_report.changed;
        }
    }

    bool SameValues(const CComBSTR& stored)
    {
        const std::u16string_view field(stored.get() ? stored.get() : u"", stored.Length());
        return SplitValues(field, m_outputs.size(), m_storedValues) &&
               std::equal(m_storedValues.begin(), m_storedValues.end(), m_outputs.begin(), m_outputs.end());
    }

    qmt::CAdoConnection& m_connection;
    const ImportRequest& m_request;
    CsvReader& m_reader;
    TableLayout m_layout;
    std::vector<std::u16string> m_names; // the header's, by field
    std::vector<std::size_t> m_fieldOf;  // the field of each of the table's columns
    ImportReport m_report;
    // One record's values and fields, their room reused from record to record.
    std::vector<std::u16string> m_inputs, m_outputs;
    std::vector<std::u16string_view> m_storedValues;
    std::u16string m_input, m_output;
};

} // namespace

HRESULT CValmorin::TableImport(BSTR User, BSTR Name, BSTR Path, LONG Mode, BSTR* Report)
{
    if (Report == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = Report}, [&] {
        const ImportRequest request = ReadRequest(User, Name, Path, Mode);
        CsvReader reader(request.path, ImportLimits());
        CsvRecord header;
        if (!reader.Next(header)) Refuse(request.path, 1, {}, u"the file holds no header row");
        // The header is read whole, and refused, before the writers' lock.
        const std::vector<std::u16string> names = HeaderNames(request.path, header);
        const TablesChanging changing(*this, {request.table});
        WriteTransaction transaction(m_connection, m_history, TextOf(User));
        const ImportReport report = Importer(m_connection, request, reader).Run(names, header.line);
        transaction.commit();
        *Report = JsonToBstr(ReportText(request.table, report));
        return S_OK;
    });
}
