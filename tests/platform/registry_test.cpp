#include "platform/registry/hive.h"
#include "platform/registry/reg_text.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "support/registry_sandbox.h"

#include "support/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class RegistryTest : public RegistrySandbox {};

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
    EXPECT_EQ(valmorin::registry::HiveFile(valmorin::registry::HiveId::LocalMachine),
              "/etc/pelkor/HKEY_LOCAL_MACHINE.reg");
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

// Names fold case beyond ASCII, as Windows' do: é and É name one key and
// one value; the signs × and ÷, which share their code's place with
// letters, stay apart.
// Fault caught: case folded for ASCII letters only, or for every code of
// the Latin-1 block.
TEST_F(RegistryTest, NamesFoldCaseBeyondAscii)
{
    SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\Clé", u"Þorn", 1);
    SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\PELKOR\\CLÉ", u"þORN", 2);
    SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\CLÉ", u"×", 3);
    SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\CLÉ", u"÷", 4);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", &key), 0);
    const UniqueHKey pelkor(key);
    EXPECT_EQ(Subkeys(pelkor.get()), std::vector<std::u16string>{u"Clé"});
    const std::string hive = ReadFile(Hive("HKEY_LOCAL_MACHINE"));
    EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Clé]\n\"Þorn\"=dword:00000002\n"), std::string::npos)
        << hive;
    EXPECT_NE(hive.find("\"×\"=dword:00000003\n"), std::string::npos) << hive;
    EXPECT_NE(hive.find("\"÷\"=dword:00000004\n"), std::string::npos) << hive;
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
        EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", &key), 1009) << whole.substr(0, length);
    }
}

} // namespace
