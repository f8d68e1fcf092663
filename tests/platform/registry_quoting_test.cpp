// Backslashes and quotes in the hive text: the writer must escape exactly
// what the reader unescapes, or a value that ends in a backslash swallows
// its closing quote and the whole hive stops reading.
#include "platform/registry/reg_text.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "support/environment.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

struct QuotedCase {
    const char* label;
    std::u16string text;
    std::string written; // how the hive spells it between the quotes
};

// Faults caught, one row each: a trailing backslash left unescaped (the
// closing quote is then read as escaped), "\\" read back as one backslash
// too many or too few, "\"" kept with its backslash, a quote not escaped.
const std::vector<QuotedCase> kQuotedCases = {
    {"trailing backslash", u"C:\\", "C:\\\\"},
    {"only a backslash", u"\\", "\\\\"},
    {"two backslashes", u"\\\\server\\share\\", "\\\\\\\\server\\\\share\\\\"},
    {"backslash then quote", u"a\\\"b", "a\\\\\\\"b"},
    {"quote at the end", u"say \"hi\"", "say \\\"hi\\\""},
    {"only a quote", u"\"", "\\\""},
    {"backslash before the letter n", u"\\n is not a line break", "\\\\n is not a line break"},
    {"empty", u"", ""},
};

std::string ReadBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// "name"="data" as a hive line spells it.
std::string Line(std::string_view name, std::string_view data)
{
    std::string line = "\"";
    line.append(name).append("\"=\"").append(data).append("\"\n");
    return line;
}

class RegistryQuotingTest : public ::testing::Test {
protected:
    static LONG SetText(const std::u16string& name, const std::u16string& text)
    {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quoting", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr);
        if (rc != 0) return rc;
        const UniqueHKey owned(key);
        const std::vector<BYTE> data = valmorin::registry::StringData(text);
        return RegSetValueExW(key, name.c_str(), 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
    }
    static std::u16string Text(const std::u16string& name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quoting", &key) != 0) return u"<no key>";
        const UniqueHKey owned(key);
        BYTE data[512];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, data, &size) != 0) return u"<no value>";
        if (type != REG_SZ) return u"<not REG_SZ>";
        const std::u16string text = valmorin::registry::DataText({data, data + size});
        return text.substr(0, text.find(u'\0'));
    }
    std::string Hive() const { return ReadBytes(m_folder / "HKEY_LOCAL_MACHINE.reg"); }

    TempDir m_folder;
    ScopedEnvironment m_registry{"PELKOR_REGISTRY_DIR", m_folder.path().c_str()};
};

TEST_F(RegistryQuotingTest, ValuesWithBackslashesAndQuotesReadBackAfterLaterWrites)
{
    for (const QuotedCase& c : kQuotedCases) {
        const std::u16string name = valmorin::text::Widen(c.label);
        ASSERT_EQ(SetText(name, c.text), 0) << c.label;
        const std::string line = Line(c.label, c.written);
        EXPECT_NE(Hive().find(line), std::string::npos) << c.label << " is not written as " << line << Hive();
    }
    // Every write reads the hive text back in first: a value spelt wrongly
    // above is lost, or loses the whole hive, at the next write.
    ASSERT_EQ(SetText(u"Later", u"x"), 0) << Hive();
    ASSERT_EQ(SetText(u"Later", u"y"), 0) << Hive();
    for (const QuotedCase& c : kQuotedCases) EXPECT_EQ(Text(valmorin::text::Widen(c.label)), c.text) << c.label;
    EXPECT_EQ(Text(u"Later"), u"y");
}

TEST_F(RegistryQuotingTest, ValueNamesAreQuotedLikeTheirData)
{
    for (const QuotedCase& c : kQuotedCases) {
        if (c.text.empty()) continue; // the empty name is the default value, "@"
        ASSERT_EQ(SetText(c.text, valmorin::text::Widen(c.label)), 0) << c.label;
    }
    ASSERT_EQ(SetText(u"Later", u"x"), 0) << Hive();
    for (const QuotedCase& c : kQuotedCases) {
        if (c.text.empty()) continue;
        EXPECT_EQ(Text(c.text), valmorin::text::Widen(c.label)) << c.label;
        const std::string line = Line(c.written, c.label);
        EXPECT_NE(Hive().find(line), std::string::npos) << line << Hive();
    }
}

// What a hand-written or exported file says, as the reader must take it.
TEST(RegText, QuotedStringsAreReadAsTheRegistryEditorWritesThem)
{
    struct Case {
        std::string quoted;
        std::u16string value;
    };
    // A backslash before anything but a backslash or a quote is kept: that
    // is how Windows exports paths it did not escape (fault: it is dropped,
    // or it swallows the next character).
    const std::vector<Case> cases = {
        {R"("C:\\")", u"C:\\"}, {R"("\\\"")", u"\\\""},    {R"("\"\\")", u"\"\\"},
        {R"("a\b")", u"a\\b"},  {R"("tab\t")", u"tab\\t"},
    };
    for (const Case& c : cases) {
        std::string file = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Q]\n\"V\"=";
        file.append(c.quoted).append("\n\"After\"=\"kept\"\n");
        const auto sections = valmorin::registry::ParseRegFile(file);
        ASSERT_TRUE(sections) << c.quoted;
        ASSERT_EQ(sections->size(), 1u);
        ASSERT_EQ((*sections)[0].values.size(), 2u) << c.quoted;
        EXPECT_EQ(valmorin::registry::DataText((*sections)[0].values[0].data), c.value + u'\0') << c.quoted;
        EXPECT_EQ(valmorin::registry::DataText((*sections)[0].values[1].data), std::u16string(u"kept") + u'\0');
    }
    // An unterminated string (the closing quote escaped) is no hive at all.
    EXPECT_FALSE(valmorin::registry::ParseRegFile("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Q]\n"
                                                  "\"V\"=\"C:\\\"\n"));
}

TEST(RegText, EveryQuotedCaseSurvivesBothEncodings)
{
    valmorin::registry::RegSection section{u"HKEY_CURRENT_USER\\Software\\Q", false, {}, {}};
    for (const QuotedCase& c : kQuotedCases)
        section.values.push_back(
            {c.text.empty() ? std::u16string(u"@") : c.text, REG_SZ, valmorin::registry::StringData(c.text)});
    for (const auto encoding : {valmorin::registry::RegEncoding::Utf8, valmorin::registry::RegEncoding::Utf16}) {
        const auto parsed = valmorin::registry::ParseRegFile(valmorin::registry::FormatRegFile({section}, encoding));
        ASSERT_TRUE(parsed);
        ASSERT_EQ(parsed->size(), 1u);
        EXPECT_EQ((*parsed)[0].values, section.values);
    }
}

} // namespace
