#include "server/import_proposal.h"

#include "server/call.h"
#include "server/refusal.h"
#include "server/request_fields.h"
#include "server/route_changesets.h"

#include "platform/text/utf.h"

#include <csv.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace {

using valmorin::text::Utf16ToUtf8;
using Record = std::vector<std::string>;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The most changes the component takes in one change set: an upload that
// would propose more is refused as it is read, before it is held whole.
constexpr std::size_t kMostChanges = 50000;

// The upload's records as RFC 4180 reads them (libcsv, strict, as the
// component reads an import), blank lines passed over, handed on a block
// of the file at a time: a table re-imported whole changes few of its
// rows, and its records need not be held.
class CsvRecords {
public:
    CsvRecords()
    {
        if (csv_init(&m_parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL) != 0) throw std::bad_alloc();
        csv_set_space_func(&m_parser, [](unsigned char) { return 0; }); // blanks are data
    }
    ~CsvRecords() { csv_free(&m_parser); }
    CsvRecords(const CsvRecords&) = delete;
    CsvRecords& operator=(const CsvRecords&) = delete;

    // take(records) with the records each block completes, in order; the
    // parser's callbacks only collect them, so that nothing take throws
    // crosses libcsv's C frames.
    template <typename Take>
    void Read(const std::string& path, Take take)
    {
        std::ifstream file(path, std::ios::binary);
        if (!file) Refuse(500, "the upload cannot be read", E_FAIL);
        std::string block(1 << 16, '\0');
        for (bool first = true;
             file.read(block.data(), static_cast<std::streamsize>(block.size())) || file.gcount() > 0; first = false) {
            std::string_view bytes(block.data(), static_cast<std::size_t>(file.gcount()));
            if (first && bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
            if (csv_parse(&m_parser, bytes.data(), bytes.size(), EndField, EndRecord, this) != bytes.size())
                Malformed();
            HandOn(take);
        }
        if (csv_fini(&m_parser, EndField, EndRecord, this) != 0) Malformed();
        HandOn(take);
    }

private:
    template <typename Take>
    void HandOn(Take& take)
    {
        take(m_records);
        m_records.clear();
    }
    static void EndField(void* bytes, std::size_t length, void* self)
    {
        // libcsv gives no bytes at all for an empty field.
        static_cast<CsvRecords*>(self)->m_record.push_back(
            length == 0 ? std::string() : std::string(static_cast<const char*>(bytes), length));
    }
    static void EndRecord(int, void* self)
    {
        auto& records = *static_cast<CsvRecords*>(self);
        if (!records.m_record.empty()) {
            records.m_records.push_back(std::move(records.m_record));
            ++records.m_count;
        }
        records.m_record.clear();
    }
    [[noreturn]] void Malformed()
    {
        Refuse(400, "the upload is not well-formed CSV, record " + std::to_string(m_count + 1) + ": " +
                        csv_strerror(csv_error(&m_parser)));
    }

    csv_parser m_parser{};
    Record m_record;
    std::vector<Record> m_records;
    std::size_t m_count = 0;
};

struct Column {
    long long id;
    bool input;
    std::ptrdiff_t field; // its place in the header; -1 when the file lacks it
};

// The table's columns in id order, each with its place in the header.
std::vector<Column> PlacedColumns(const Call& call, const std::u16string& table, const Record& header)
{
    const Json listed = Json::parse(
        Utf16ToUtf8(CallText([&](BSTR* list) { return call.Valmorin().TableColumnsJson(Text(table).get(), list); })));
    std::vector<Column> columns;
    std::set<std::string> known;
    for (const Json& column : listed.at("list")) {
        const std::string name = column.at("name").get<std::string>();
        const auto field = std::find(header.begin(), header.end(), name);
        known.insert(name);
        columns.push_back({column.at("id").get<long long>(), column.at("input").get<bool>(),
                           field == header.end() ? -1 : field - header.begin()});
    }
    std::set<std::string> named;
    for (const std::string& name : header) {
        RequestText(name, "a column's name in the header");
        if (!known.count(name))
            Refuse(400, "the header names the column \"" + name + "\", which the table does not have");
        if (!named.insert(name).second) Refuse(400, "the header names the column \"" + name + "\" twice");
    }
    std::sort(columns.begin(), columns.end(), [](const Column& a, const Column& b) { return a.id < b.id; });
    return columns;
}

// A record's values joined as the table stores them: its input columns'
// values in INPUT, the others' in OUTPUT, each in id order, joined by "|".
std::pair<std::string, std::string> StoredRow(const std::vector<Column>& columns, const Record& record)
{
    std::string sides[2];
    bool started[2] = {false, false};
    for (const Column& column : columns) {
        const int side = column.input ? 0 : 1;
        if (std::exchange(started[side], true)) sides[side] += '|';
        if (column.field >= 0 && static_cast<std::size_t>(column.field) < record.size())
            sides[side] += record[static_cast<std::size_t>(column.field)];
    }
    RequestText(sides[0], "an INPUT of the upload");
    RequestText(sides[1], "an OUTPUT of the upload");
    return {sides[0], sides[1]};
}

std::map<std::string, std::string> StoredRows(const Call& call, const std::u16string& table)
{
    const Json page = Json::parse(Utf16ToUtf8(CallText([&](BSTR* list) {
        return call.Valmorin().CorrespondanceListJson(Text(table).get(), Text(u"").get(), 0, 0, list);
    })));
    std::map<std::string, std::string> rows;
    for (const Json& row : page.at("list"))
        rows[row.at("input").get<std::string>()] = row.at("output").get<std::string>();
    return rows;
}

// The changes an upload makes to a table, as its records are read.
class UploadChanges {
public:
    UploadChanges(const Call& call, const std::u16string& table)
        : m_call(call), m_table(table), m_stored(StoredRows(call, table))
    {}

    void Take(Record& record)
    {
        if (!m_header) {
            m_columns = PlacedColumns(m_call, m_table, record);
            m_header = std::move(record);
            return;
        }
        ++m_read;
        if (record.size() != m_header->size())
            Refuse(400, "record " + std::to_string(m_read) + " of the upload has " + std::to_string(record.size()) +
                            " fields, the header " + std::to_string(m_header->size()));
        const auto [input, output] = StoredRow(m_columns, record);
        if (!m_seen.insert(input).second) Refuse(400, "the upload holds the INPUT \"" + input + "\" twice");
        const auto now = m_stored.find(input);
        if (now != m_stored.end() && now->second == output) {
            ++m_unchanged;
            return;
        }
        ++(now == m_stored.end() ? m_added : m_changed);
        Add({{"op", "put"}, {"input", input}, {"output", output}});
    }

    // A replacing upload deletes the rows it lacks.
    void DeleteUnseen()
    {
        for (const auto& [input, output] : m_stored)
            if (!m_seen.count(input)) {
                ++m_deleted;
                Add({{"op", "delete"}, {"input", input}});
            }
    }

    bool headed() const { return m_header.has_value(); }
    const Json& changes() const { return m_changes; }
    Json Report() const
    {
        return {{"table", Utf16ToUtf8(m_table)}, {"read", m_read},           {"added", m_added},
                {"changed", m_changed},          {"unchanged", m_unchanged}, {"deleted", m_deleted}};
    }

private:
    void Add(Json change)
    {
        if (m_changes.size() == kMostChanges)
            Refuse(413, "the upload would change more than " + std::to_string(kMostChanges) +
                            " rows; a change set holds at most as many changes: propose the rest apart");
        m_changes.push_back(std::move(change));
    }

    const Call& m_call;
    std::u16string m_table;
    std::map<std::string, std::string> m_stored;
    std::optional<Record> m_header;
    std::vector<Column> m_columns;
    std::set<std::string> m_seen;
    Json m_changes = Json::array();
    long long m_read = 0, m_added = 0, m_changed = 0, m_unchanged = 0, m_deleted = 0;
};

} // namespace

void ProposeImport(Call& call, const std::u16string& table, const std::string& upload, bool replace)
{
    UploadChanges proposal(call, table);
    CsvRecords().Read(upload, [&](std::vector<Record>& records) {
        for (Record& record : records) proposal.Take(record);
    });
    if (!proposal.headed()) Refuse(400, "the upload has no header");
    if (replace) proposal.DeleteUnseen();
    Json report = proposal.Report();
    if (proposal.changes().empty()) { // the table holds the upload already: nothing to approve
        report["changeset"] = nullptr;
        AnswerJson(call, 200, report);
        return;
    }
    const LONG id = ProposeChanges(call, Json{{"table", Utf16ToUtf8(table)}, {"changes", proposal.changes()}}.dump());
    report["changeset"] = id;
    call.response().set_header("Location", "/api/changesets/" + std::to_string(id));
    AnswerJson(call, 201, report);
}
