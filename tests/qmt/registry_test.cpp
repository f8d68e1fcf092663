// The component's registry class over the registry: keys named in errors,
// values read whole up to their limit, absences logged as warnings, trees
// deleted and walked.
#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/registry.h"
#include "support/memory_log.h"
#include "support/registry_sandbox.h"

#include <gtest/gtest.h>

using qmt::CException;
using qmt::CRegistry;
using qmt::CWinException;
using qmt::LogLevel;

namespace {

class RegistryTest : public RegistrySandbox {
protected:
    const std::vector<LogRecord>& Records() const { return m_log.records(); }
    bool Logged(LogLevel level, const std::u16string& message)
    {
        for (const auto& record : Records())
            if (record.level == level && record.message == message) return true;
        return false;
    }

    MemoryLog m_log;
};

TEST_F(RegistryTest, RootNamesAreMatchedInAnyCaseButNeverShortened)
{
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\Common\\Valmorin", u"Debug", u"y");

    EXPECT_EQ(CRegistry(u"hkey_local_machine\\SOFTWARE\\Pelkor\\Common\\Valmorin").ReadValue(u"Debug"), u"y");
    EXPECT_EQ(CRegistry(u"HKEY_LOCAL_machine\\software\\pelkor\\common\\valmorin").ReadValue(u"DEBUG"), u"y");
    EXPECT_TRUE(Logged(LogLevel::Debug, u"Registry Open hkey_local_machine\\SOFTWARE\\Pelkor\\Common\\Valmorin"));
    EXPECT_TRUE(Logged(LogLevel::Debug, u"Registry read value Debug = y"));

    for (const char16_t* path : {u"HKLM\\SOFTWARE\\Pelkor\\Common\\Valmorin", u"HKEY_NOWHERE"}) {
        CRegistry key(path);
        try {
            key.Open({});
            FAIL() << "opened " << valmorin::text::Utf16ToUtf8(path);
        } catch (const CException& e) {
            EXPECT_EQ(e.code, 1011u);
            EXPECT_EQ(e.description, u"The configuration registry key could not be opened.\r\n");
        }
    }
    CRegistry root(u"HKEY_LOCAL_MACHINE");
    root.Open({});
    EXPECT_TRUE(root.IsOpen());
}

TEST_F(RegistryTest, AMissingKeyIsNamedInTheError)
{
    CRegistry missing(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Nowhere");
    try {
        missing.ReadValue(u"Debug");
        FAIL() << "read a missing key";
    } catch (const CException& e) {
        EXPECT_EQ(e.code, 1011u);
        EXPECT_EQ(e.source, u"Windows");
        EXPECT_EQ(e.description,
                  u"The configuration registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Nowhere could not be opened.");
    }
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(RegistryTest, TextValuesAreReadWholeUpTo511Bytes)
{
    const std::u16string fits(511, u'a');
    const std::u16string accented = std::u16string(255, u'\u00e9') + u"a"; // 511 bytes in UTF-8
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Long", u"Fits", fits);
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Long", u"Accented", accented);
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Long", u"TooLong", fits + u"a");
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Long", u"TooLongInUtf8", std::u16string(256, u'\u00e9'));

    CRegistry key(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Long");
    EXPECT_EQ(key.ReadValue(u"Fits"), fits);
    EXPECT_EQ(key.ReadValue(u"Accented"), accented);
    for (const char16_t* name : {u"TooLong", u"TooLongInUtf8"}) {
        try {
            key.ReadValue(name);
            FAIL() << "read " << valmorin::text::Utf16ToUtf8(name);
        } catch (const CWinException& e) {
            EXPECT_EQ(e.code, 234u);
        }
    }
    EXPECT_TRUE(Logged(LogLevel::Error, u"Registry read value TooLong failed: More data is available.\r\n"));
}

TEST_F(RegistryTest, MissingValuesAreWarningsAndNumbersAreReadAsDwords)
{
    SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\COMMON", u"LogFileSize", 524288);
    CRegistry key(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\COMMON");

    EXPECT_EQ(key.ReadSubKey(u"LogFileSize"), 524288u);
    EXPECT_TRUE(Logged(LogLevel::Debug, u"Registry SubKey LogFileSize = 524288"));
    EXPECT_THROW(key.ReadSubKey(u"Missing"), CWinException);
    EXPECT_TRUE(Logged(LogLevel::Warning,
                       u"Registry read subkey Missing failed: The system cannot find the file specified.\r\n"));
    EXPECT_FALSE(Logged(LogLevel::Error,
                        u"Registry read subkey Missing failed: The system cannot find the file specified.\r\n"));
}

TEST_F(RegistryTest, DeleteRemovesAValueOrAWholeKeyTree)
{
    SetText(HKEY_CURRENT_USER, u"Software\\Pelkor", u"Debug", u"y");
    Create(HKEY_CURRENT_USER, u"Software\\Pelkor\\Tree\\A\\B");
    Create(HKEY_CURRENT_USER, u"Software\\Pelkor\\Tree\\C");
    CRegistry pelkor(u"HKEY_CURRENT_USER\\Software\\Pelkor");

    pelkor.Delete(u"Debug");
    pelkor.Delete(u"\\Tree");

    EXPECT_EQ(Text(HKEY_CURRENT_USER, u"Software\\Pelkor", u"Debug"), u"<no value>");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, u"Software\\Pelkor\\Tree", u""), u"<no key>");
    std::vector<std::u16string> deleted;
    for (const auto& record : Records())
        if (record.message.starts_with(u"Registry delete key:")) deleted.push_back(record.message.substr(20));
    EXPECT_EQ(deleted, (std::vector<std::u16string>{u"Software\\Pelkor\\Tree\\A\\B", u"Software\\Pelkor\\Tree\\A",
                                                    u"Software\\Pelkor\\Tree\\C", u"Software\\Pelkor\\Tree"}));
    EXPECT_THROW(pelkor.Delete(u"Debug"), CWinException);
}

TEST_F(RegistryTest, IterationWalksTheSubkeysAndLogsItsEnd)
{
    for (const char16_t* name : {u"Beta", u"alpha", u"Gamma"})
        Create(HKEY_LOCAL_MACHINE, std::u16string(u"SOFTWARE\\Walk\\") + name);

    std::vector<std::u16string> paths;
    for (CRegistry::iterator it(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Walk"), end; it != end; ++it)
        paths.push_back((*it).Path());
    EXPECT_EQ(paths, (std::vector<std::u16string>{u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Walk\\alpha",
                                                  u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Walk\\Beta",
                                                  u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Walk\\Gamma"}));
    EXPECT_EQ(Records().back().level, LogLevel::Error);
    EXPECT_EQ(Records().back().message, u"RegEnumKey  failed: No more data is available.\r\n");

    EXPECT_EQ(CRegistry::iterator(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Walk\\Beta"), CRegistry::iterator());
    EXPECT_EQ(Records().back().message,
              u"Registry enum child of subkey SOFTWARE\\Walk\\Beta failed: No more data is available.\r\n");
    EXPECT_THROW(CRegistry::iterator(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Nowhere"), CWinException);
    EXPECT_EQ(Records().back().level, LogLevel::Warning);
}

} // namespace
