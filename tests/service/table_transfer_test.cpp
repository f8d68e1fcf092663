// The CSV import and export of IValmorin2, on every store.
#include "support/admin.h"
#include "support/component.h"
#include "support/own_registry.h"
#include "support/process.h"

#include "platform/ado/connection_string.h"
#include "platform/text/utf.h"
#include "platform/win32/sysinfo.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;
using valmorin::text::Utf16ToUtf8;
using valmorin::text::Widen;
using namespace std::chrono_literals;

constexpr HRESULT kInvalidData = MakeHResult(0x8007000D);
constexpr LONG kReplace = 1;

std::string ReadBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::u16string ErrorDescription()
{
    CComPtr<IErrorInfo> info;
    CComBSTR text;
    if (GetErrorInfo(0, &info) == S_OK && info) info->GetDescription(&text);
    return std::u16string(text.view());
}

class TableTransferTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(m_component.QueryInterface(m_v2), S_OK);
    }

    // A table of the columns given as "name:1" (input) or "name:0" (output).
    void Create(const std::u16string& table, std::initializer_list<std::u16string> columns)
    {
        std::u16string names, types;
        for (const std::u16string& column : columns) {
            const std::size_t colon = column.rfind(u':');
            names += (names.empty() ? u"" : u"\u00A8") + column.substr(0, colon);
            types += (types.empty() ? u"" : u"\u00A8") + column.substr(colon + 1);
        }
        ASSERT_EQ(m_component->TableCreate(Arg(u"creator"), Arg(table), Arg(u""), Arg(names), Arg(types)), S_OK);
    }
    void Put(const std::u16string& table, const std::u16string& input, const std::u16string& output,
             const std::u16string& user = u"old")
    {
        ASSERT_EQ(m_component->CorrespondanceCreate(Arg(user), Arg(table), Arg(input), Arg(output)), S_OK);
    }

    std::string File(const std::string& name, const std::string& bytes)
    {
        std::ofstream(m_files / name, std::ios::binary) << bytes;
        return (m_files / name).string();
    }

    // The report parsed, or the error's description when the call failed.
    struct Imported {
        HRESULT hr;
        Json report;
        std::u16string error;
    };
    Imported Import(const std::string& path, LONG mode = 0, const std::u16string& table = u"T",
                    const std::u16string& user = u"imp")
    {
        BstrResult report;
        const HRESULT hr = m_v2->TableImport(Arg(user), Arg(table), Arg(Widen(path)), mode, &report);
        if (FAILED(hr)) return {hr, {}, ErrorDescription()};
        return {hr, Json::parse(Utf16ToUtf8(report.text())), {}};
    }
    std::string Export(const std::u16string& table = u"T")
    {
        LONG rows = -1;
        const std::filesystem::path file = m_files / "export.csv";
        EXPECT_EQ(m_v2->TableExport(Arg(table), Arg(Widen(file.string())), &rows), S_OK)
            << Utf16ToUtf8(ErrorDescription());
        return ReadBytes(file);
    }

    // Each correspondence as INPUT=OUTPUT@user, in INPUT order.
    Rows Stored(const std::string& table = "T")
    {
        return m_store->Column("SELECT v.INPUT || '=' || COALESCE(v.OUTPUT, 'null') || '@' || "
                               "COALESCE(v.USER_CODE_LASTACTION, 'null') FROM QM_VALMOR v JOIN QM_TABLES t ON "
                               "t.ID_TABLE = v.ID_TABLE WHERE t.NOM = '" +
                               table + "' ORDER BY v.INPUT");
    }

    static Json Counts(int read, int added, int changed, int unchanged, int deleted)
    {
        return {{"read", read}, {"added", added}, {"changed", changed}, {"unchanged", unchanged}, {"deleted", deleted}};
    }
    static Json CountsOf(const Json& report)
    {
        Json counts;
        for (const char* key : {"read", "added", "changed", "unchanged", "deleted"}) counts[key] = report.at(key);
        return counts;
    }

    TempDir m_files;
    CComPtr<IValmorin2> m_v2;
};

// Faults caught: a field quoted or split differently on the way out than
// on the way in (commas, quotes, line breaks, blanks, apostrophes, | in a
// side of one column, values left out at the end of a side); an unchanged
// row written again (its last user lost).
TEST_P(TableTransferTest, ExportThenReplacingImportChangesNothingByteForByte)
{
    Create(u"T", {u"region:1", u"code:1", u"label:0", u"note, with comma:0"});
    Put(u"T", u"north|a1", u"Alpha, \"the first\"|line one\r\nline two");
    Put(u"T", u"south|b'2", u"  padded  |");
    Put(u"T", u"east|", u"x");          // the last input value empty
    Put(u"T", u"west|c3", u"only one"); // the second output value missing
    Put(u"T", u"\u00e9t\u00e9|\U0001F600", u"\u00A8|\t");
    const Rows before = Stored();
    const std::vector<std::u16string> dump = StoreDump(*m_store);

    const std::string first = Export();
    EXPECT_EQ(first.substr(0, first.find("\r\n")), "region,code,label,\"note, with comma\"");
    const Imported again = Import(File("again.csv", first), kReplace, u"T", u"someone else");
    ASSERT_EQ(again.hr, S_OK) << Utf16ToUtf8(again.error);
    EXPECT_EQ(CountsOf(again.report), Counts(5, 0, 0, 5, 0));
    EXPECT_EQ(StoreDump(*m_store), dump);
    EXPECT_EQ(Export(), first);
    EXPECT_EQ(Stored(), before);
}

// Faults caught: counts that do not match the writes; a merge that deletes;
// a replace that keeps rows the file lacks; the user of unchanged rows
// overwritten; an empty file in mode 1 that leaves rows behind.
TEST_P(TableTransferTest, MergeAndReplaceCountAndSignWhatTheyWrite)
{
    Create(u"T", {u"k:1", u"v:0"});
    for (const auto& [k, v] : {std::pair{u"a", u"1"}, {u"b", u"2"}, {u"c", u"3"}}) Put(u"T", k, v);

    const Imported merged = Import(File("m.csv", "k,v\nb,2\nc,30\nd,4\n"));
    ASSERT_EQ(merged.hr, S_OK) << Utf16ToUtf8(merged.error);
    EXPECT_EQ(CountsOf(merged.report), Counts(3, 1, 1, 1, 0));
    EXPECT_FALSE(merged.report.at("created").get<bool>());
    EXPECT_EQ(Stored(), (Rows{u"a=1@old", u"b=2@old", u"c=30@imp", u"d=4@imp"}));

    // Columns in another order than the table's.
    const Imported replaced = Import(File("r.csv", "v,k\n2,b\n31,c\n"), kReplace);
    ASSERT_EQ(replaced.hr, S_OK) << Utf16ToUtf8(replaced.error);
    EXPECT_EQ(CountsOf(replaced.report), Counts(2, 0, 1, 1, 2));
    EXPECT_FALSE(replaced.report.at("emptied").get<bool>());
    EXPECT_EQ(Stored(), (Rows{u"b=2@old", u"c=31@imp"}));

    const Imported emptied = Import(File("e.csv", "k,v\r\n"), kReplace);
    ASSERT_EQ(emptied.hr, S_OK) << Utf16ToUtf8(emptied.error);
    EXPECT_EQ(CountsOf(emptied.report), Counts(0, 0, 0, 0, 2));
    EXPECT_TRUE(emptied.report.at("emptied").get<bool>());
    EXPECT_EQ(Stored(), Rows{});

    // Into the table now empty: the path of one insert a row.
    const Imported loaded = Import(File("l.csv", "k,v\nx,1\ny,2\n"), kReplace);
    EXPECT_EQ(CountsOf(loaded.report), Counts(2, 2, 0, 0, 0));
    EXPECT_EQ(Stored(), (Rows{u"x=1@imp", u"y=2@imp"}));
}

// Faults caught: a refusal that leaves part of the file in the store (on
// either path: a table with rows, a table without); a message that does
// not say which file, line, column and rule.
TEST_P(TableTransferTest, EachRefusalNamesWhereAndWhyAndWritesNothing)
{
    Create(u"T", {u"a:1", u"b:1", u"out:0"});
    Create(u"Empty", {u"a:1", u"b:1", u"out:0"});
    Put(u"T", u"x|y", u"kept");
    std::filesystem::create_directory(m_files / "folder");
    const std::string folder = (m_files / "folder").string();
    const struct {
        std::string name, bytes;
        std::vector<std::string> says;
    } cases[] = {
        {"dup.csv", "a,b,out\n1,2,x\n3,4,y\n1,2,z\n", {"line 4", "column \"a\"", "earlier line"}},
        {"unknown.csv", "a,b,out,extra\n1,2,x,y\n", {"line 1", "column \"extra\"", "no column of this name"}},
        {"missing.csv", "a,out\n1,x\n", {"line 1", "column \"b\"", "lacks this column"}},
        {"twice.csv", "a,b,out,a\n", {"line 1", "column \"a\"", "names this column twice"}},
        {"utf8.csv", "a,b,out\n1,2,x\n1,\xC3(,x\n", {"line 3", "column \"b\"", "not valid UTF-8"}},
        {"bar.csv", "a,b,out\n1,2|3,x\n", {"line 2", "column \"b\"", "holds a |"}},
        {"nul.csv", std::string("a,b,out\n1,2,x\0y\n", 16), {"line 2", "column \"out\"", "NUL"}},
        {"fields.csv", "a,b,out\n1,2\n", {"line 2", "2 fields, the header 3"}},
        {"quote.csv", "a,b,out\n1,2,\"x\"y\n", {"line 2", "not well-formed CSV"}},
        {"open.csv", "a,b,out\n1,2,\"x\n\n", {"starts on line 2", "not well-formed CSV"}},
        {"late.csv", "a,b,out\n\"multi\nline\",2,x\n5,6,\xFF\n", {"line 4", "column \"out\"", "not valid UTF-8"}},
        {"blank.csv", "", {"line 1", "no header row"}},
    };
    for (const std::u16string table : {u"T", u"Empty"}) {
        const std::vector<std::u16string> dump = StoreDump(*m_store);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name + " into " + Utf16ToUtf8(table));
            const std::string path = File(c.name, c.bytes);
            const Imported refused = Import(path, 0, table);
            EXPECT_EQ(refused.hr, kInvalidData);
            const std::string error = Utf16ToUtf8(refused.error);
            EXPECT_NE(error.find(path), std::string::npos) << error;
            for (const std::string& piece : c.says) EXPECT_NE(error.find(piece), std::string::npos) << error;
        }
        const Imported notAFile = Import(folder, 0, table);
        EXPECT_EQ(notAFile.hr, MakeHResult(0x80070005));
        EXPECT_NE(Utf16ToUtf8(notAFile.error).find("not a regular file"), std::string::npos);
        EXPECT_EQ(Import((m_files / "absent.csv").string(), 0, table).hr, MakeHResult(0x80070002));
        EXPECT_EQ(StoreDump(*m_store), dump);
    }
    // A table the import would create is not created either.
    EXPECT_EQ(Import(File("new.csv", "k,v\n1,a\n1,b\n"), 0, u"New").hr, kInvalidData);
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_TABLES WHERE NOM = 'New'"), Rows{u"0"});
    BstrResult report;
    const std::string ok = File("ok.csv", "a,b,out\n");
    EXPECT_EQ(m_v2->TableImport(Arg(u"u"), Arg(u"T"), Arg(Widen(ok)), 2, &report), E_INVALIDARG);
    EXPECT_EQ(report.text(), u"");
}

// Faults caught: a byte-order mark taken into the first column's name; CR
// left at the end of values; a line break inside quotes read as the end of
// the record; a doubled quote read as two; blank lines read as records; a
// last line without its line break lost; line numbers counted by records.
TEST_P(TableTransferTest, TheFileIsReadAsRfc4180ReadsIt)
{
    const std::string file = File("corners.csv", "\xEF\xBB\xBF"
                                                 "key,value\r\n"
                                                 "q,\"say \"\"hi\"\"\"\r\n"
                                                 "\r\n"
                                                 "nl,\"one\r\ntwo\nthree\"\r\n"
                                                 "comma,\"a,b\"\n"
                                                 "blanks,  kept  \n"
                                                 "empty,\n"
                                                 "last,no line break");
    const Imported imported = Import(file);
    ASSERT_EQ(imported.hr, S_OK) << Utf16ToUtf8(imported.error);
    EXPECT_TRUE(imported.report.at("created").get<bool>());
    EXPECT_EQ(CountsOf(imported.report), Counts(6, 6, 0, 0, 0));
    EXPECT_EQ(Stored(), (Rows{u"blanks=  kept  @imp", u"comma=a,b@imp", u"empty=@imp", u"last=no line break@imp",
                              u"nl=one\r\ntwo\nthree@imp", u"q=say \"hi\"@imp"}));
    BstrResult columns;
    ASSERT_EQ(m_component->TableColumns(Arg(u"T"), &columns), S_OK);
    EXPECT_NE(columns.text().find(u"\"name\": \"key\", \"inout\": \"1\""), std::u16string::npos)
        << Utf16ToUtf8(columns.text());

    // Line 8 is the one after a record spanning lines 5 to 7.
    const Imported late = Import(File("late.csv", "key,value\r\n\r\na,1\r\n\r\nb,\"x\r\ny\r\nz\"\r\nb,2\r\n"));
    EXPECT_NE(Utf16ToUtf8(late.error).find("line 8,"), std::string::npos) << Utf16ToUtf8(late.error);
}

// Faults caught: a new table's sides taken from the wrong columns; a header
// too short for the sides asked for accepted.
TEST_P(TableTransferTest, ANewTableTakesTheHeadersColumns)
{
    const LONG twoInputs = 2 << 8;
    const Imported made = Import(File("new.csv", "country,city,zip,mayor\nfr,paris,75000,x\n"), twoInputs);
    ASSERT_EQ(made.hr, S_OK) << Utf16ToUtf8(made.error);
    EXPECT_EQ(Stored(), Rows{u"fr|paris=75000|x@imp"});
    EXPECT_EQ(m_store->Column("SELECT d.NAME_COL || ':' || d.INOUT FROM QM_DICO d JOIN QM_TABLES t ON t.ID_TABLE = "
                              "d.ID_TABLE WHERE t.NOM = 'T' ORDER BY d.ID_COL"),
              (Rows{u"country:1", u"city:1", u"zip:0", u"mayor:0"}));
    EXPECT_EQ(m_store->Column("SELECT USER_CODE_LASTACTION || ':' || DESCRIPTION FROM QM_TABLES WHERE NOM = 'T'"),
              Rows{u"imp:Imported from new.csv"});
    EXPECT_EQ(Import(File("short.csv", "a,b\n"), twoInputs, u"Short").hr, kInvalidData);
}

// Faults caught: an export that writes through a link or over a device, or
// replaces a link to a device with a file (/dev/stdout, as root), or
// leaves the old file half-replaced when it fails; a file mode that follows
// the umask; a row whose values do not fit its columns exported cut short.
TEST_P(TableTransferTest, ExportReplacesOnlyARegularFileAndOnlyWhenWhole)
{
    Create(u"T", {u"k:1", u"v:0"});
    Put(u"T", u"a", u"1");
    const std::filesystem::path target = m_files / "target.csv";
    const std::filesystem::path elsewhere = m_files / "elsewhere.csv";
    std::ofstream(elsewhere) << "untouched";
    std::filesystem::create_symlink(elsewhere, target);
    const mode_t umask = ::umask(077);
    LONG rows = -1;
    EXPECT_EQ(m_v2->TableExport(Arg(u"T"), Arg(Widen(target.string())), &rows), S_OK);
    ::umask(umask);
    EXPECT_EQ(rows, 1);
    EXPECT_FALSE(std::filesystem::is_symlink(target));
    EXPECT_EQ(ReadBytes(target), "k,v\r\na,1\r\n");
    EXPECT_EQ(ReadBytes(elsewhere), "untouched");
    struct stat status {};
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);

    // A device of the test's own (a FIFO without root): refused, left as it is.
    const std::filesystem::path device = m_files / "device";
    if (::geteuid() == 0)
        ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
    else
        ASSERT_EQ(::mkfifo(device.c_str(), 0600), 0);
    EXPECT_EQ(m_v2->TableExport(Arg(u"T"), Arg(Widen(device.string())), &rows), MakeHResult(0x80070005));
    EXPECT_FALSE(std::filesystem::is_regular_file(device));
    // A link to it (as /dev/stdout is to a terminal or a pipe): refused too,
    // the link left in place rather than replaced by a file.
    const std::filesystem::path toDevice = m_files / "to-device";
    std::filesystem::create_symlink(device, toDevice);
    EXPECT_EQ(m_v2->TableExport(Arg(u"T"), Arg(Widen(toDevice.string())), &rows), MakeHResult(0x80070005));
    EXPECT_NE(Utf16ToUtf8(ErrorDescription()).find("nor a link to one"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_symlink(toDevice));
    std::filesystem::remove(toDevice);
    EXPECT_EQ(m_v2->TableExport(Arg(u"Missing"), Arg(Widen(target.string())), &rows), E_INVALIDARG);
    EXPECT_EQ(rows, 0);
    Put(u"T", u"b", u"2|3"); // two values for one output column: it stands whole
    EXPECT_EQ(m_v2->TableExport(Arg(u"T"), Arg(Widen(target.string())), &rows), S_OK);
    EXPECT_EQ(ReadBytes(target), "k,v\r\na,1\r\nb,2|3\r\n");
    m_store->Run("INSERT INTO QM_DICO (ID_TABLE, ID_COL, NAME_COL, INOUT) SELECT ID_TABLE, 3, 'w', 0 FROM QM_TABLES "
                 "WHERE NOM = 'T'; UPDATE QM_VALMOR SET OUTPUT = '1|2|3' WHERE INPUT = 'a';");
    EXPECT_EQ(m_v2->TableExport(Arg(u"T"), Arg(Widen(target.string())), &rows), kInvalidData);
    EXPECT_NE(Utf16ToUtf8(ErrorDescription()).find("INPUT \"a\""), std::string::npos);
    EXPECT_EQ(ReadBytes(target), "k,v\r\na,1\r\nb,2|3\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_files.path()), {}), 3) << "a temporary was left";
}

// What a file may make the import hold and where it may lead it: fields
// and headers bounded (with CsvFieldLimit 100 and CsvColumnLimit 4: 100
// bytes and 4 columns pass, one more is refused, naming the line and the
// field), the header refused before the writers' lock is taken, no link
// followed, no more than 40 characters of the file quoted, and a cancelled
// call leaving nothing behind.
// Faults caught: a limit off by one or not applied; the header checked
// inside the transaction, so that a refused file waits for another
// writer; a link followed to another file; a whole field quoted into a
// message; a cancellation ignored, or committing what was read so far.
TEST_P(TableTransferTest, LimitsLinksAndCancellationRefuseBeforeWriting)
{
    const OwnRegistry registry;
    OwnRegistry::Set(u"CsvFieldLimit", 100);
    OwnRegistry::Set(u"CsvColumnLimit", 4);
    OwnRegistry::Set(u"CsvRecordLimit", 250);
    const std::vector<std::u16string> dump = StoreDump(*m_store);
    const Imported atLimit = Import(File("at.csv", "k,v\n1," + std::string(100, 'x') + "\n"), 0, u"At");
    EXPECT_EQ(atLimit.hr, S_OK) << Utf16ToUtf8(atLimit.error);
    const Imported beyond = Import(File("beyond.csv", "k,v\n1,2\n3," + std::string(101, 'x') + "\n"), 0, u"Beyond");
    EXPECT_EQ(beyond.hr, kInvalidData);
    EXPECT_NE(Utf16ToUtf8(beyond.error).find("line 3: field 2 is longer than 100 bytes"), std::string::npos)
        << Utf16ToUtf8(beyond.error);
    EXPECT_EQ(Import(File("four.csv", "k,a,b,c\n1,2,3,4\n"), 0, u"Four").hr, S_OK);
    // Three fields within their own limit, too long together.
    const Imported long3 = Import(File("long.csv", "k,a,b\n" + std::string(90, 'x') + "," + std::string(90, 'y') + "," +
                                                       std::string(90, 'z') + "\n"),
                                  0, u"Long");
    EXPECT_EQ(long3.hr, kInvalidData);
    EXPECT_NE(Utf16ToUtf8(long3.error).find("line 2: the record is longer than 250 bytes"), std::string::npos)
        << Utf16ToUtf8(long3.error);
    const std::string five = File("five.csv", "k,a,b,c,d\n1,2,3,4,5\n");
    {
        // Another writer holds the store's writers' lock meanwhile.
        std::optional<Conversation> writer;
        if (GetParam() == StoreKind::Sqlite) {
            writer.emplace(std::vector<std::string>{"/usr/bin/sqlite3", m_store->file().string()});
            writer->Send("BEGIN IMMEDIATE;\n.print held\n");
            ASSERT_EQ(writer->ReadLine(10s), "held");
        }
        const Imported wide = Import(five, 0, u"Five");
        EXPECT_EQ(wide.hr, kInvalidData);
        EXPECT_NE(Utf16ToUtf8(wide.error).find("line 1: the record has more than 4 fields"), std::string::npos)
            << Utf16ToUtf8(wide.error);
    }

    const std::filesystem::path target = m_files / "target.csv";
    std::ofstream(target) << "k,v\nsecret,1\n";
    std::filesystem::create_symlink(target, m_files / "link.csv");
    const Imported linked = Import((m_files / "link.csv").string(), 0, u"Linked");
    EXPECT_EQ(linked.hr, MakeHResult(0x80070005));
    EXPECT_NE(Utf16ToUtf8(linked.error).find("symbolic link"), std::string::npos) << Utf16ToUtf8(linked.error);

    Create(u"T", {u"k:1", u"v:0"});
    const Imported quoted = Import(File("quoted.csv", "k," + std::string(60, 'q') + "\n"), 0, u"T");
    EXPECT_NE(Utf16ToUtf8(quoted.error).find("column \"" + std::string(40, 'q') + "...\""), std::string::npos)
        << Utf16ToUtf8(quoted.error);
    // 39 characters, then one outside the BMP: it is left out whole.
    const Imported paired = Import(File("paired.csv", "k," + std::string(39, 'q') + "\xF0\x9F\x98\x80tail\n"), 0, u"T");
    EXPECT_NE(paired.error.find(u"column \"" + std::u16string(39, u'q') + u"...\""), std::u16string::npos)
        << Utf16ToUtf8(paired.error);
    const Imported nul = Import(File("nul.csv", std::string("k\0a,v\nx,y\n", 11)), 0, u"Nul");
    EXPECT_EQ(nul.hr, kInvalidData);
    EXPECT_NE(Utf16ToUtf8(nul.error).find("column 1 of the header holds a NUL"), std::string::npos)
        << Utf16ToUtf8(nul.error);

    ASSERT_EQ(CoEnableCallCancellation(nullptr), S_OK);
    ASSERT_EQ(CoCancelCall(GetCurrentThreadId(), 0), S_OK);
    EXPECT_EQ(Import(File("cancelled.csv", "k,v\n1,a\n2,b\n"), 0, u"Cancelled").hr, RPC_E_CALL_CANCELED);
    ASSERT_EQ(CoDisableCallCancellation(nullptr), S_OK);
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_TABLES WHERE NOM IN ('Beyond', 'Five', 'Linked', "
                              "'Cancelled', 'Long', 'Nul')"),
              Rows{u"0"});
    EXPECT_EQ(Import(File("cancelled.csv", "k,v\n1,a\n2,b\n"), 0, u"Cancelled").hr, S_OK)
        << "a call after the cancelled one was cancelled too";
}

INSTANTIATE_TEST_SUITE_P(Stores, TableTransferTest, VALMORIN_STORES);

// An export while another session of the store holds its writers' lock,
// a row added and not yet committed: the export reads what was committed
// and waits for no one. Fault caught: an export in a transaction of the
// writers' own, which waited for every writer (and several exports for
// each other) and failed as a locked store past the wait, keeping every
// writer out while it ran.
class TableExportTest : public ::testing::TestWithParam<StoreKind> {};

TEST_P(TableExportTest, AnExportWaitsForNoWriter)
{
    SKIP_WITHOUT_STORE(GetParam());
    const TestStore store(GetParam());
    store.Run("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
              "INSERT INTO QM_DICO (ID_TABLE, ID_COL, NAME_COL, INOUT) VALUES (1, 1, 'k', 1), (1, 2, 'v', 0);"
              "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'a', '1');");
    CComPtr<_Connection> writer;
    ASSERT_EQ(
        CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid, reinterpret_cast<void**>(&writer)),
        S_OK);
    ASSERT_EQ(writer->Open(CComBSTR(store.connectionString()).get(), nullptr, nullptr, adConnectUnspecified), S_OK);
    LONG level = 0;
    ASSERT_EQ(writer->BeginTrans(&level), S_OK);
    CComVariant affected;
    _Recordset* none = nullptr;
    ASSERT_EQ(writer->Execute(CComBSTR(u"INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'b', '2')").get(),
                              &affected, -1, &none),
              S_OK);

    const CComPtr<IValmorin> component = NewComponent();
    // On SQLite, a wait for the lock that fails soon (its ODBC driver's
    // own waits 100 s).
    valmorin::ado::ConnectionString connection(store.connectionString());
    if (GetParam() == StoreKind::Sqlite) connection = connection.With(u"Busy Timeout", u"300");
    if (GetParam() == StoreKind::OdbcSqlite) connection = connection.With(u"Timeout", u"300");
    ASSERT_EQ(component->Open(Arg(connection.Text())), S_OK);
    CComPtr<IValmorin2> v2;
    ASSERT_EQ(component.QueryInterface(v2), S_OK);
    const TempDir files;
    LONG rows = -1;
    EXPECT_EQ(v2->TableExport(Arg(u"T"), Arg(Widen((files / "t.csv").string())), &rows), S_OK)
        << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(ReadBytes(files / "t.csv"), "k,v\r\na,1\r\n");
    EXPECT_EQ(writer->RollbackTrans(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Stores, TableExportTest, VALMORIN_STORES);

} // namespace
