// What the Debug log shows of each statement: the statement's text with the
// caller's values written in, apostrophes doubled where the method doubles
// them, byte for byte as printf formatting of the same texts writes it
// (qmt::Format, the oracle), while the values travel bound. Run over
// hostile values on every store.
//
// Faults caught: a value shown where another belongs, or shown doubled
// where the method shows it as given (or the other way round); a number
// shown unpadded or a literal's constant part lost; a statement sent that
// the log does not show, or shown twice; a value that a store reads back
// other than it was given (a quote, a backslash, U+FEFF, a ? or -- in it).
#include "qmt/diag/format.h"
#include "service/statement_texts.h"
#include "support/admin.h"
#include "support/component.h"
#include "support/memory_log.h"
#include "support/temp_dir.h"

#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Texts that reshape a statement written with them: quotes, comment and
// statement punctuation, markers, a backslash, a byte-order mark, a
// character beyond the BMP. kPlain holds no apostrophe, for the methods
// that refuse one.
const std::u16string kPlain = u"x\") OR 1=1; --? /*\\ \uFEFF\U0001D11E $1 %s";
const std::u16string kQuoted = u"O'Brien'); DELETE FROM QM_VALMOR; --? \\' \uFEFF\U0001D11E";

std::u16string Doubled(std::u16string text)
{
    for (std::size_t at = text.find(u'\''); at != std::u16string::npos; at = text.find(u'\'', at + 2))
        text.insert(at, 1, u'\'');
    return text;
}

// The oracle: the shape's text formatted as printf does, %s taking a
// NUL-terminated text and %d an int.
template <const auto& Shape, typename... Values>
std::u16string Expected(const Values&... values)
{
    return qmt::Format(Shape.Text(), values...);
}

class StatementLogTest : public StoreTest {
protected:
    // The statements the log shows since the last call, their prefixes off.
    std::vector<std::u16string> Sent()
    {
        std::vector<std::u16string> statements;
        for (const LogRecord& record : m_log->records()) {
            for (const std::u16string_view prefix : {u"Execute ", u"Open recordset "}) {
                if (record.level == qmt::LogLevel::Debug && record.message.starts_with(prefix))
                    statements.push_back(record.message.substr(prefix.size()));
            }
        }
        m_log->Clear();
        return statements;
    }

    std::u16string Text(BSTR value) const { return value ? std::u16string(value, SysStringLen(value)) : u""; }

    std::optional<MemoryLog> m_log;
};

TEST_P(StatementLogTest, EveryMethodShowsItsStatementsAsTheirTextsFormatThem)
{
    using namespace statements;
    const std::u16string table = u"T " + kPlain, input = u"in " + kPlain, output = u"out " + kPlain;
    const std::u16string user = u"u " + kQuoted, qTable = u"Q " + kQuoted, qInput = u"i " + kQuoted,
                         qOutput = u"o " + kQuoted;
    const std::u16string dTable = Doubled(qTable), dInput = Doubled(qInput), dOutput = Doubled(qOutput),
                         dUser = Doubled(user);
    m_log.emplace();
    LONG done = 0;

    ASSERT_EQ(m_component->transadd(Arg(table), Arg(input), Arg(output), &done), S_OK);
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{
                          Expected<kOpenRevision>(u""),
                          Expected<kLookupTableId>(table.c_str()),
                          Expected<kSelectMaxTableId>(),
                          Expected<kInsertImplicitTable>(1, table.c_str()),
                          Expected<kSelectMaxColumnId>(1),
                          Expected<kInsertImplicitColumn>(1, 1, u"INPUT", 1),
                          Expected<kInsertImplicitColumn>(1, 2, u"OUTPUT", 0),
                          Expected<kCountEntries>(1, input.c_str()),
                          Expected<kInsertEntry>(1, input.c_str(), output.c_str()),
                      }));
    BstrResult found;
    ASSERT_EQ(m_component->translate(Arg(table), Arg(input), &found), S_OK);
    EXPECT_EQ(found.text(), output) << "the value came back changed";
    EXPECT_EQ(Sent(), std::vector<std::u16string>{Expected<kTranslate>(table.c_str(), input.c_str())});

    BstrResult number;
    ASSERT_EQ(m_component->transIdent(Arg(input), &number), S_OK);
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{
                          Expected<kLookupTableId>(kCounterTable),
                          Expected<kSelectMaxTableId>(),
                          Expected<kInsertImplicitTable>(2, kCounterTable),
                          Expected<kSelectMaxColumnId>(2),
                          Expected<kInsertImplicitColumn>(2, 1, u"INPUT", 1),
                          Expected<kInsertImplicitColumn>(2, 2, u"OUTPUT", 0),
                          Expected<kSelectCounter>(2, input.c_str()),
                          Expected<kInsertCounter>(2, input.c_str(), 1),
                      }));
    BstrResult second;
    ASSERT_EQ(m_component->transIdent(Arg(input), &second), S_OK);
    EXPECT_EQ(Text(second.value), u"2");
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{Expected<kLookupTableId>(kCounterTable),
                                                   Expected<kSelectCounter>(2, input.c_str()),
                                                   Expected<kUpdateCounter>(2, 2, input.c_str())}));

    ASSERT_EQ(m_component->transdel(Arg(table), Arg(input), &done), S_OK);
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{Expected<kOpenRevision>(u""),
                                                   Expected<kDeleteEntry>(table.c_str(), input.c_str())}));

    // The administration methods show the caller's texts doubled.
    ASSERT_EQ(m_component->TableCreate(Arg(user), Arg(qTable), Arg(qOutput), Arg(qInput), Arg(u"1")), S_OK);
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{
                          Expected<kOpenRevision>(dUser.c_str()),
                          Expected<kSelectMaxTableId>(),
                          Expected<kInsertTable>(3, dTable.c_str(), dOutput.c_str(), dUser.c_str()),
                          Expected<kInsertColumn>(3, 1, dInput.c_str(), 1),
                      }));
    ASSERT_EQ(m_component->CorrespondanceCreate(Arg(user), Arg(qTable), Arg(qInput), Arg(qOutput)), S_OK);
    EXPECT_EQ(Sent(),
              (std::vector<std::u16string>{
                  Expected<kOpenRevision>(dUser.c_str()),
                  Expected<kInsertCorrespondence>(dInput.c_str(), dOutput.c_str(), dUser.c_str(), dTable.c_str()),
              }));
    CComPtr<IValmorin2> v2;
    ASSERT_EQ(m_component.QueryInterface(v2), S_OK);
    BstrResult reverse;
    ASSERT_EQ(v2->translateDefault(Arg(qTable), Arg(qInput), Arg(u"none"), &reverse), S_OK);
    EXPECT_EQ(reverse.text(), qOutput) << "the value came back changed";
    EXPECT_EQ(Sent(), std::vector<std::u16string>{Expected<kTranslate>(dTable.c_str(), dInput.c_str())});
    LONG exists = 0;
    ASSERT_EQ(m_component->CorrespondanceExists(Arg(qTable), Arg(qInput), &exists), S_OK);
    EXPECT_EQ(exists, 1);
    EXPECT_EQ(Sent(), std::vector<std::u16string>{Expected<kCorrespondenceTableId>(dInput.c_str(), dTable.c_str())});
    ASSERT_EQ(m_component->CorrespondanceFourEyesIsLastUser(Arg(user), Arg(qTable), Arg(qInput), &exists), S_OK);
    EXPECT_EQ(exists, 1) << "the user came back changed";
    EXPECT_EQ(Sent(), std::vector<std::u16string>{
                          Expected<kCorrespondenceLastUser>(dInput.c_str(), dUser.c_str(), dTable.c_str())});
    ASSERT_EQ(m_component->CorrespondanceUpdate(Arg(user), Arg(qTable), Arg(qInput), Arg(qOutput), Arg(qInput)), S_OK);
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{
                          Expected<kOpenRevision>(dUser.c_str()),
                          Expected<kUpdateCorrespondence>(dOutput.c_str(), dInput.c_str(), dUser.c_str(),
                                                          dInput.c_str(), dTable.c_str()),
                      }));

    BstrResult listing;
    ASSERT_EQ(v2->CorrespondanceListJson(Arg(qTable), Arg(u"Bri"), 0, 10, &listing), S_OK);
    EXPECT_EQ(Sent(),
              std::vector<std::u16string>{Expected<kListCorrespondencesLike>(dTable.c_str(), u"%Bri%", u"%Bri%")});
    ASSERT_EQ(m_component->CorrespondanceDelete(Arg(qTable), Arg(qOutput)), S_OK);
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{Expected<kOpenRevision>(u""),
                                                   Expected<kDeleteCorrespondence>(dOutput.c_str(), dTable.c_str())}));
    ASSERT_EQ(m_component->TableDelete(Arg(qTable)), S_OK);
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{
                          Expected<kOpenRevision>(u""), Expected<kDeleteTableEntries>(dTable.c_str()),
                          Expected<kDeleteTableColumns>(dTable.c_str()), Expected<kDeleteTable>(dTable.c_str())}));
}

// The listings, the table's own methods, the reverse lookup, the table
// update (whose column list is a piece of its text) and the export.
TEST_P(StatementLogTest, TheOtherMethodsShowTheirStatementsAsTheirTextsFormatThem)
{
    using namespace statements;
    const std::u16string user = u"u " + kQuoted, table = u"T " + kQuoted, renamed = u"R " + kQuoted,
                         about = u"d " + kQuoted, input = u"i " + kQuoted, output = u"o " + kQuoted;
    const std::u16string dUser = Doubled(user), dTable = Doubled(table), dRenamed = Doubled(renamed),
                         dAbout = Doubled(about), dOutput = Doubled(output);
    ASSERT_EQ(
        m_component->TableCreate(Arg(user), Arg(table), Arg(about), Arg(u"a\u00A8b'\u00A8c"), Arg(u"1\u00A80\u00A80")),
        S_OK);
    ASSERT_EQ(m_component->CorrespondanceCreate(Arg(user), Arg(table), Arg(input), Arg(output)), S_OK);
    m_log.emplace();
    CComPtr<IValmorin2> v2;
    ASSERT_EQ(m_component.QueryInterface(v2), S_OK);
    LONG truth = 0;
    // Each [out] text freed before the next call writes it.
    auto listed = [](auto&& call) {
        BstrResult text;
        EXPECT_EQ(call(&text), S_OK);
    };

    listed([&](BSTR* text) { return m_component->TableList(text); });
    listed([&](BSTR* text) { return m_component->TableColumns(Arg(table), text); });
    listed([&](BSTR* text) { return m_component->TableDescription(Arg(table), text); });
    ASSERT_EQ(m_component->TableExists(Arg(table), &truth), S_OK);
    ASSERT_EQ(m_component->TableFourEyesIsLastUser(Arg(user), Arg(table), &truth), S_OK);
    EXPECT_EQ(truth, 1) << "the user came back changed";
    listed([&](BSTR* text) { return m_component->CorrespondanceList(Arg(table), text); });
    listed([&](BSTR* text) { return v2->translateReverse(Arg(table), Arg(output), text); });
    listed([&](BSTR* text) { return v2->TableListJson(text); });
    listed([&](BSTR* text) { return v2->TableColumnsJson(Arg(table), text); });
    listed([&](BSTR* text) { return v2->CorrespondanceListJson(Arg(table), Arg(u""), 0, 10, text); });
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{
                          Expected<kListTables>(),
                          Expected<kListColumns>(dTable.c_str()),
                          Expected<kSelectDescription>(dTable.c_str()),
                          Expected<kLookupTableId>(dTable.c_str()),
                          Expected<kTableLastUser>(dTable.c_str(), dUser.c_str()),
                          Expected<kListCorrespondences>(dTable.c_str()),
                          Expected<kTranslateReverse>(dTable.c_str(), dOutput.c_str()),
                          Expected<kListTablesWithRows>(),
                          Expected<kListColumns>(dTable.c_str()),
                          Expected<kCountCorrespondences>(dTable.c_str()),
                          Expected<kListCorrespondencesInOrder>(dTable.c_str()),
                      }));

    ASSERT_EQ(m_component->TableUpdate(Arg(user), Arg(table), Arg(renamed), Arg(about), Arg(u"d"), Arg(u"0"), Arg(u""),
                                       Arg(u""), Arg(u"2\u00A83")),
              S_OK);
    EXPECT_EQ(Sent(),
              (std::vector<std::u16string>{
                  Expected<kOpenRevision>(dUser.c_str()),
                  Expected<kRenameTableDescribed>(dRenamed.c_str(), dAbout.c_str(), dUser.c_str(), dTable.c_str()),
                  Expected<kSelectTableId>(dRenamed.c_str()),
                  Expected<kScanColumns>(1),
                  Expected<kDeleteColumns>(1, u"2,3"),
                  Expected<kInsertColumn>(1, 4, u"d", 0),
                  Expected<kScanValues>(1),
              }));

    const TempDir folder;
    LONG rows = 0;
    ASSERT_EQ(v2->TableExport(Arg(renamed), Arg((folder / "export.csv").u16string()), &rows), S_OK);
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(Sent(), (std::vector<std::u16string>{Expected<kLookupTableId>(dRenamed.c_str()),
                                                   Expected<kScanColumns>(1), Expected<kExportRows>(1)}));
}

// A random text of the units that have reshaped statements or been read
// back changed: quotes, a backslash, markers, comment starts, U+FEFF, a
// character beyond the BMP, a NUL and surrogates alone.
std::u16string RandomText(std::mt19937& random)
{
    static const std::u16string kPieces[] = {u"'",
                                             u"''",
                                             u"\\",
                                             u"\"",
                                             u"?",
                                             u"$1",
                                             u"%s",
                                             u"--",
                                             u";",
                                             u"a",
                                             u"\uFEFF",
                                             u"\U0001D11E",
                                             std::u16string(1, u'\0'),
                                             std::u16string(1, char16_t(0xD800)),
                                             std::u16string(1, char16_t(0xDC00)),
                                             u" "};
    std::u16string text;
    const auto length = std::uniform_int_distribution<int>(0, 8)(random);
    for (int i = 0; i < length; ++i)
        text += kPieces[std::uniform_int_distribution<std::size_t>(0, std::size(kPieces) - 1)(random)];
    return text;
}

// What a store keeps of a caller's text: the text up to its first NUL, a
// surrogate alone as U+FFFD.
std::u16string Kept(std::u16string_view text)
{
    text = text.substr(0, text.find(u'\0'));
    std::u16string kept;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            kept.append(text.substr(i++, 2));
        } else {
            kept += high || low ? u'\uFFFD' : c;
        }
    }
    return kept;
}

// Faults caught: a bound value cut, re-encoded or read as statement text
// (an apostrophe ending it, a ? taken for a marker, a NUL reaching the
// store); a value bound to another marker of its statement.
TEST_P(StatementLogTest, RandomValuesComeBackAsTheStoreKeepsThem)
{
    std::mt19937 random(20261207);
    ASSERT_EQ(m_component->TableCreate(Arg(u"u"), Arg(u"P"), Arg(u""), Arg(u"in\u00A8out"), Arg(u"1\u00A80")), S_OK);
    for (int round = 0; round < 40; ++round) {
        const std::u16string tag = u"#" + valmorin::text::Widen(std::to_string(round)) + u"/";
        const std::u16string value = RandomText(random), user = RandomText(random);
        SCOPED_TRACE(valmorin::text::Utf16ToUtf8(Kept(value)));
        const std::u16string input = u"i" + tag + value, output = u"o" + tag + value;
        ASSERT_EQ(m_component->CorrespondanceCreate(Arg(user), Arg(u"P"), Arg(input), Arg(output)), S_OK);
        CComPtr<IValmorin2> v2;
        ASSERT_EQ(m_component.QueryInterface(v2), S_OK);
        BstrResult forward, reverse;
        ASSERT_EQ(v2->translateDefault(Arg(u"P"), Arg(input), Arg(u"missing"), &forward), S_OK);
        EXPECT_EQ(forward.text(), Kept(output));
        ASSERT_EQ(v2->translateReverse(Arg(u"P"), Arg(output), &reverse), S_OK);
        EXPECT_EQ(reverse.text(), Kept(input));
        LONG last = 0;
        ASSERT_EQ(m_component->CorrespondanceFourEyesIsLastUser(Arg(user), Arg(u"P"), Arg(input), &last), S_OK);
        EXPECT_EQ(last, 1) << "the user was kept changed";
        if (value.find(u'\'') != std::u16string::npos) continue; // the running numbers refuse an apostrophe
        BstrResult first, next;
        ASSERT_EQ(m_component->transIdent(Arg(input), &first), S_OK);
        ASSERT_EQ(m_component->transIdent(Arg(input), &next), S_OK);
        EXPECT_EQ(next.text(), u"2") << "the counter's name was kept changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, StatementLogTest, VALMORIN_STORES);

} // namespace
