#include "server/import_proposal.h"

#include "server/call.h"
#include "server/refusal.h"
#include "server/request_fields.h"
#include "server/route_changesets.h"

#include "platform/text/csv_limits.h"
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
constexpr std::size_t kBlockBytes = 1 << 16;

// The most changes the component takes in one change set, and about the
// most text (it counts the set's characters, which its UTF-8 bytes bound):
// an upload that would propose more is refused as it is read, before the
// set is held whole.
constexpr std::size_t kMostChanges = 50000;
constexpr std::size_t kMostChangeBytes = std::size_t{32} << 20;

// The upload's records as RFC 4180 reads them (libcsv, strict, as the
// component reads an import), blank lines passed over, handed on a block
// of the file at a time: a table re-imported whole changes few of its
// rows, and its records need not be held. Each record is held to the
// limits the component's import applies by default, checked as each block
// is parsed: libcsv holds the field it reads whole.
class CsvRecords {
public:
    CsvRecords()
    {
        if (csv_init(&m_parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL) != 0) throw std::bad_alloc();
        csv_set_space_func(&m_parser, [](unsigned char) { return 0; }); // blanks are data
        // libcsv grows the field it holds by this much at a time (128 bytes
        // unless told): a field of a MiB is otherwise copied thousands of times.
        csv_set_blk_size(&m_parser, kBlockBytes);
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
        std::string block(kBlockBytes, '\0');
        for (bool first = true;
             file.read(block.data(), static_cast<std::streamsize>(block.size())) || file.gcount() > 0; first = false) {
            std::string_view bytes(block.data(), static_cast<std::size_t>(file.gcount()));
            if (first && bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
            const std::size_t parsed = csv_parse(&m_parser, bytes.data(), bytes.size(), EndField, EndRecord, this);
            RefuseBeyondLimits();
            if (parsed != bytes.size()) Malformed();
            HandOn(take);
        }
        const int finished = csv_fini(&m_parser, EndField, EndRecord, this);
        RefuseBeyondLimits();
        if (finished != 0) Malformed();
        HandOn(take);
    }

private:
    template <typename Take>
    void HandOn(Take& take)
    {
        take(m_records);
        m_records.clear();
    }
    // Past a limit, the rest of the block is passed over: the refusal
    // follows once libcsv returns.
    static void EndField(void* bytes, std::size_t length, void* self)
    {
        auto& records = *static_cast<CsvRecords*>(self);
        if (records.m_beyond) return;
        records.m_recordBytes += length;
        if (records.m_record.size() == records.m_limits.fields || length > records.m_limits.fieldBytes ||
            records.m_recordBytes > records.m_limits.recordBytes) {
            records.m_beyond = true;
            return;
        }
        // libcsv gives no bytes at all for an empty field.
        records.m_record.push_back(length == 0 ? std::string() : std::string(static_cast<const char*>(bytes), length));
    }
    static void EndRecord(int, void* self)
    {
        auto& records = *static_cast<CsvRecords*>(self);
        if (records.m_beyond) return;
        if (!records.m_record.empty()) {
            records.m_records.push_back(std::move(records.m_record));
            ++records.m_count;
        }
        records.m_record.clear();
        records.m_recordBytes = 0;
    }
    void RefuseBeyondLimits()
    {
        const std::size_t pending = m_parser.entry_pos;
        const std::string where = "record " + std::to_string(m_count + 1) + " of the upload ";
        if (m_record.size() == m_limits.fields)
            Refuse(400, where + "has more than " + std::to_string(m_limits.fields) + " fields");
        if (m_recordBytes + pending > m_limits.recordBytes)
            Refuse(400, where + "is longer than " + std::to_string(m_limits.recordBytes) + " bytes");
        if (m_beyond || pending > m_limits.fieldBytes)
            Refuse(400, where + "has a field longer than " + std::to_string(m_limits.fieldBytes) + " bytes");
    }
    [[noreturn]] void Malformed()
    {
        Refuse(400, "the upload is not well-formed CSV, record " + std::to_string(m_count + 1) + ": " +
                        csv_strerror(csv_error(&m_parser)));
    }

    csv_parser m_parser{};
    const valmorin::text::CsvLimits m_limits;
    Record m_record;
    std::vector<Record> m_records;
    std::size_t m_count = 0, m_recordBytes = 0;
    bool m_beyond = false;
};

struct Column {
    long long id;
    bool input;
    std::size_t field; // its place in the header
};

// The table's columns in id order, each with its place in the header. As
// the component's import takes it, the header names every column of the
// table once and nothing else: a column left out would be proposed empty.
std::vector<Column> PlacedColumns(const Call& call, const std::u16string& table, const Record& header)
{
    const Json listed = Json::parse(
        Utf16ToUtf8(CallText([&](BSTR* list) { return call.Valmorin().TableColumnsJson(Text(table).get(), list); })));
    std::map<std::string, std::size_t> fieldOf;
    for (std::size_t field = 0; field < header.size(); ++field) {
        const std::string& name = header[field];
        RequestText(name, "a column's name in the header");
        if (!fieldOf.emplace(name, field).second) Refuse(400, "the header names the column \"" + name + "\" twice");
    }
    std::vector<Column> columns;
    std::vector<std::string> lacking;
    for (const Json& column : listed.at("list")) {
        const std::string name = column.at("name").get<std::string>();
        const auto field = fieldOf.find(name);
        if (field == fieldOf.end()) {
            lacking.push_back(name);
            continue;
        }
        columns.push_back({column.at("id").get<long long>(), column.at("input").get<bool>(), field->second});
        fieldOf.erase(field);
    }
    if (!fieldOf.empty())
        Refuse(400, "the header names the column \"" + fieldOf.begin()->first + "\", which the table does not have");
    if (!lacking.empty()) Refuse(400, "the header lacks the table's column \"" + lacking.front() + "\"");
    std::sort(columns.begin(), columns.end(), [](const Column& a, const Column& b) { return a.id < b.id; });
    return columns;
}

// A record's values joined as the table stores them: its input columns'
// values in INPUT, the others' in OUTPUT, each in id order, joined by "|".
// Every record holds as many fields as the header.
std::pair<std::string, std::string> StoredRow(const std::vector<Column>& columns, const Record& record)
{
    std::string sides[2];
    bool started[2] = {false, false};
    for (const Column& column : columns) {
        const int side = column.input ? 0 : 1;
        if (std::exchange(started[side], true)) sides[side] += '|';
        sides[side] += record[column.field];
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
        if (!m_fields) {
            m_columns = PlacedColumns(m_call, m_table, record);
            m_fields = record.size();
            return;
        }
        ++m_read;
        if (record.size() != *m_fields)
            Refuse(400, "record " + std::to_string(m_read) + " of the upload has " + std::to_string(record.size()) +
                            " fields, the header " + std::to_string(*m_fields));
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

    bool headed() const { return m_fields.has_value(); }
    const Json& changes() const { return m_changes; }
    Json Report() const
    {
        return {{"table", Utf16ToUtf8(m_table)}, {"read", m_read},           {"added", m_added},
                {"changed", m_changed},          {"unchanged", m_unchanged}, {"deleted", m_deleted}};
    }

private:
    // The change's text: its values, and as much again for the ones the
    // component adds beside them (what each replaces).
    void Add(Json change)
    {
        if (m_changes.size() == kMostChanges)
            Refuse(413, "the upload would change more than " + std::to_string(kMostChanges) +
                            " rows; a change set holds at most as many changes: propose the rest apart");
        for (const char* field : {"input", "output"})
            if (change.contains(field)) m_changeBytes += 2 * change.at(field).get_ref<const std::string&>().size();
        if (m_changeBytes > kMostChangeBytes)
            Refuse(413, "the upload would propose more than " + std::to_string(kMostChangeBytes) +
                            " bytes of changes; a change set holds at most as much: propose the rest apart");
        m_changes.push_back(std::move(change));
    }

    const Call& m_call;
    std::u16string m_table;
    std::map<std::string, std::string> m_stored;
    std::optional<std::size_t> m_fields; // the header's, once read
    std::vector<Column> m_columns;
    std::set<std::string> m_seen;
    Json m_changes = Json::array();
    long long m_read = 0, m_added = 0, m_changed = 0, m_unchanged = 0, m_deleted = 0;
    std::size_t m_changeBytes = 0;
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
