#include "platform/registry/hive.h"
#include "platform/registry/reg_text.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/registry.h"
#include "support/memory_log.h"
#include "support/temp_dir.h"

#include "support/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using qmt::CException;
using qmt::CRegistry;
using qmt::CWinException;
using qmt::LogLevel;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("PELKOR_REGISTRY_DIR", m_folder.path().c_str(), 1);
    }
    void TearDown() override { unsetenv("PELKOR_REGISTRY_DIR"); }

    std::filesystem::path Hive(const std::string& root) const { return m_folder / (root + ".reg"); }

    static UniqueHKey Create(HKEY root, const std::u16string& path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        return UniqueHKey(key);
    }
    static void SetText(HKEY root, const std::u16string& path, const std::u16string& name, const std::u16string& text)
    {
        const std::vector<BYTE> data = valmorin::registry::StringData(text);
        ASSERT_EQ(RegSetValueExW(Create(root, path).get(), name.c_str(), 0, REG_SZ, data.data(),
                                 static_cast<DWORD>(data.size())),
                  0);
    }
    static void SetDword(HKEY root, const std::u16string& path, const std::u16string& name, DWORD number)
    {
        ASSERT_EQ(
            RegSetValueExW(Create(root, path).get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4),
            0);
    }
    static std::u16string Text(HKEY root, const std::u16string& path, const std::u16string& name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyW(root, path.c_str(), &key) != 0) return u"<no key>";
        const UniqueHKey owned(key);
        BYTE data[1024];
        DWORD size = sizeof data;
        if (RegQueryValueExW(key, name.c_str(), nullptr, nullptr, data, &size) != 0) return u"<no value>";
        const std::u16string text = valmorin::registry::DataText({data, data + size});
        return text.substr(0, text.find(u'\0'));
    }
    static std::vector<std::u16string> Subkeys(HKEY key)
    {
        std::vector<std::u16string> names;
        WCHAR name[256];
        for (DWORD index = 0; RegEnumKeyW(key, index, name, 256) == 0; ++index) names.emplace_back(name);
        return names;
    }
    const std::vector<LogRecord>& Records() const { return m_log.records(); }
    bool Logged(LogLevel level, const std::u16string& message)
    {
        for (const auto& record : Records())
            if (record.level == level && record.message == message) return true;
        return false;
    }

    TempDir m_folder;
    MemoryLog m_log;
};

std::string ReadFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary) << bytes;
}

TEST_F(RegistryTest, HivesLieInTheMachineAndUserConfigurationFolders)
{
    EXPECT_EQ(valmorin::registry::HiveFile(valmorin::registry::HiveId::Users), Hive("HKEY_USERS"));
    unsetenv("PELKOR_REGISTRY_DIR");
    setenv("XDG_CONFIG_HOME", (m_folder / "config").c_str(), 1);
    EXPECT_EQ(valmorin::registry::HiveFile(valmorin::registry::HiveId::CurrentUser),
              m_folder / "config" / "pelkor" / "HKEY_CURRENT_USER.reg");
    unsetenv("XDG_CONFIG_HOME");
    // PELKOR_ROOT moves the machine's hive with the other machine-wide files.
    // Fault caught: the hive written to /etc/pelkor by a sandboxed run.
    {
        const ScopedEnvironment root("PELKOR_ROOT", (m_folder / "root").c_str());
        EXPECT_EQ(valmorin::registry::HiveFile(valmorin::registry::HiveId::LocalMachine),
                  m_folder / "root" / "etc" / "pelkor" / "HKEY_LOCAL_MACHINE.reg");
    }
    const ScopedEnvironment noRoot("PELKOR_ROOT", nullptr);
    EXPECT_EQ(valmorin::registry::HiveFile(valmorin::registry::HiveId::LocalMachine), "/etc/pelkor/HKEY_LOCAL_MACHINE.reg");
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheSpellingTheyWereCreatedWith)
{
    SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\COMMON", u"LogFileSize", 0x80000);
    SetDword(HKEY_LOCAL_MACHINE, u"software\\pelkor\\common", u"LOGFILESIZE", 0x100000);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"Software\\PELKOR", &key), 0);
    const UniqueHKey pelkor(key);
    EXPECT_EQ(Subkeys(pelkor.get()), std::vector<std::u16string>{u"COMMON"});
    const std::string hive = ReadFile(Hive("HKEY_LOCAL_MACHINE"));
    EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\COMMON]\n\"LogFileSize\"=dword:00100000\n"),
              std::string::npos)
        << hive;
    EXPECT_TRUE(hive.starts_with("Windows Registry Editor Version 5.00\n")) << hive;
}

TEST_F(RegistryTest, HandWrittenHivesAreReadInUtf16AndUtf8)
{
    const std::u16string machine = u"Windows Registry Editor Version 5.00\r\n\r\n"
                                   u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin]\r\n"
                                   u"\"Debug\"=\"y\"\r\n"
                                   u"@=\"C:\\\\Program Files\\\\\\\"Valmorin\\\" \u00e9\"\r\n"
                                   u"\"Path\"=hex(2):25,00,41,00,\\\r\n  25,00,00,00\r\n";
    std::string bytes = "\xFF\xFE";
    for (const char16_t c : machine) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    WriteFile(Hive("HKEY_LOCAL_MACHINE"), bytes);
    WriteFile(Hive("HKEY_CURRENT_USER"),
              "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
              "; per-user settings\n[HKEY_CURRENT_USER\\Software\\Pelkor]\n\"Name\"=\"\xC3\xA9t\xC3\xA9\"\n");

    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\Common\\Valmorin", u"Debug"), u"y");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\Common\\Valmorin", u""),
              u"C:\\Program Files\\\"Valmorin\" \u00e9");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\Common\\Valmorin", u"Path"), u"%A%");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, u"Software\\Pelkor", u"Name"), u"\u00e9t\u00e9");
}

TEST_F(RegistryTest, ValuesOfEveryTypeSurviveTheHiveFile)
{
    const std::vector<valmorin::registry::Value> values = {
        {u"Quoted", REG_SZ, valmorin::registry::StringData(u"a \"quoted\" C:\\path")},
        {u"Lines", REG_SZ, valmorin::registry::StringData(u"two\nlines")},
        {u"", REG_EXPAND_SZ, valmorin::registry::StringData(u"%TEMP%")},
        {u"Multi", REG_MULTI_SZ, valmorin::registry::StringData(std::u16string(u"a\0b\0", 4))},
        {u"Bytes", REG_BINARY, {0x00, 0xFF, 0x10}},
        {u"Empty", REG_NONE, {}},
        {u"Big", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"Number", REG_DWORD, {0x78, 0x56, 0x34, 0x12}}};
    const UniqueHKey key = Create(HKEY_CURRENT_USER, u"Software\\Types");
    for (const auto& value : values)
        ASSERT_EQ(RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                                 static_cast<DWORD>(value.data.size())),
                  0);

    valmorin::registry::Key root;
    ASSERT_EQ(valmorin::registry::ReadHive(valmorin::registry::HiveId::CurrentUser, root), 0u);
    EXPECT_EQ(valmorin::registry::FindKey(root, {u"Software", u"Types"})->values, values);
    EXPECT_NE(ReadFile(Hive("HKEY_CURRENT_USER")).find("\"Number\"=dword:12345678\n"), std::string::npos);
}

TEST_F(RegistryTest, ClassesRootShowsTheUsersClassesOverTheMachines)
{
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.txt", u"", u"txtfile");
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\txtfile", u"", u"Text Document");
    SetText(HKEY_CURRENT_USER, u"Software\\Classes\\.txt", u"", u"userfile");
    SetText(HKEY_CURRENT_USER, u"Software\\Classes\\.user", u"", u"mine");

    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u".txt", u""), u"userfile");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, u"TXTFILE", u""), u"Text Document");
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT), (std::vector<std::u16string>{u".txt", u".user", u"txtfile"}));

    // Values go where the key is, the user's first; new keys go to the machine.
    SetText(HKEY_CLASSES_ROOT, u".txt", u"Content Type", u"text/plain");
    SetText(HKEY_CLASSES_ROOT, u"txtfile", u"Edit", u"vi");
    SetText(HKEY_CLASSES_ROOT, u".new", u"", u"created");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, u"Software\\Classes\\.txt", u"Content Type"), u"text/plain");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\txtfile", u"Edit"), u"vi");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.new", u""), u"created");
}

TEST_F(RegistryTest, KeysWithSubkeysAreDeletedOnlyAsATree)
{
    Create(HKEY_CURRENT_USER, u"Software\\Tree\\A\\B");
    HKEY tree = Create(HKEY_CURRENT_USER, u"Software\\Tree").release();

    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Tree"), 5);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Tree"), 0);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Tree"), 2);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), 5);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(tree, u"x", nullptr, nullptr, nullptr, &size), 1018);
    EXPECT_EQ(RegCloseKey(tree), 0);
    EXPECT_EQ(RegCloseKey(tree), 6);
}

TEST_F(RegistryTest, WritersInTwoProcessesLoseNothing)
{
    constexpr int kValuesEach = 40;
    std::vector<pid_t> writers;
    for (const char16_t writer : {u'a', u'b'}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kValuesEach; ++i) {
                const std::u16string name = std::u16string(1, writer) + valmorin::text::Widen(std::to_string(i));
                const DWORD number = static_cast<DWORD>(i);
                HKEY key = nullptr;
                if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &key, nullptr) != 0 ||
                    RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4) != 0)
                    _exit(1);
                RegCloseKey(key);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    valmorin::registry::Key root;
    ASSERT_EQ(valmorin::registry::ReadHive(valmorin::registry::HiveId::LocalMachine, root), 0u);
    EXPECT_EQ(valmorin::registry::FindKey(root, {u"SOFTWARE", u"Shared"})->values.size(), 2u * kValuesEach);
}

TEST_F(RegistryTest, AWriterKilledMidWriteLeavesTheHiveAsItWas)
{
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", u"Before", u"kept");
    const std::string before = ReadFile(Hive("HKEY_LOCAL_MACHINE"));

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The kernel kills the writer (SIGXFSZ) once its new hive passes 4 KiB.
        const rlimit noCore{0, 0}, smallFiles{4096, 4096};
        setrlimit(RLIMIT_CORE, &noCore);
        setrlimit(RLIMIT_FSIZE, &smallFiles);
        const std::vector<BYTE> big(64 * 1024, 0xAB);
        HKEY key = nullptr;
        RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", &key);
        RegSetValueExW(key, u"Big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size()));
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;

    EXPECT_EQ(ReadFile(Hive("HKEY_LOCAL_MACHINE")), before);
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", u"Big"), u"<no value>");
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", u"After", u"written");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", u"Before"), u"kept");
}

TEST_F(RegistryTest, AHiveCutShortIsNeverReadAsValid)
{
    SetText(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", u"Name", u"value");
    SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", u"Size", 16);
    const std::string whole = ReadFile(Hive("HKEY_LOCAL_MACHINE"));
    for (std::size_t length = 1; length < whole.size(); ++length) {
        if (whole[length - 1] == '\n') continue; // a cut between lines leaves a shorter, well-formed hive
        WriteFile(Hive("HKEY_LOCAL_MACHINE"), whole.substr(0, length));
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE", &key), 1009) << whole.substr(0, length);
    }
}

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
