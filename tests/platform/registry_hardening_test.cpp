// The registry's files against hostile names and planted links, and the
// reg command against files other editors write.
#include "platform/registry/hive.h"
#include "platform/registry/reg_text.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "support/environment.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string FileText(const std::filesystem::path& file)
{
    std::ostringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
}

void WriteText(const std::filesystem::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

class RegistryHardeningTest : public ::testing::Test {
protected:
    std::filesystem::path Hive() const { return m_folder / "HKEY_LOCAL_MACHINE.reg"; }

    static LONG SetValue(const std::u16string& path, const std::u16string& name, DWORD type,
                         const std::vector<BYTE>& data)
    {
        HKEY key = nullptr;
        LONG rc =
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (rc != 0) return rc;
        const UniqueHKey owned(key);
        return RegSetValueExW(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    }
    static std::optional<std::vector<BYTE>> Data(const std::u16string& path, const std::u16string& name)
    {
        valmorin::registry::Key root;
        if (valmorin::registry::ReadHive(valmorin::registry::HiveId::LocalMachine, root) != 0) return std::nullopt;
        const valmorin::registry::Key* key = valmorin::registry::FindKey(root, valmorin::registry::SplitKeyPath(path));
        const valmorin::registry::Value* value = key != nullptr ? key->FindValue(name) : nullptr;
        return value != nullptr ? std::optional(value->data) : std::nullopt;
    }
    ProcessResult Valmorin(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv{VALMORIN_CLI};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, "",
                          {{"PELKOR_REGISTRY_DIR", m_folder.path().string()},
                           {"HOME", m_folder.path().string()},
                           {"XDG_CONFIG_HOME", (m_folder / "config").string()},
                           {"XDG_DATA_HOME", (m_folder / "data").string()},
                           {"PELKOR_DATASOURCES_DIR", (m_folder / "machine").string()}});
    }

    TempDir m_folder;
    ScopedEnvironment m_registry{"PELKOR_REGISTRY_DIR", m_folder.path().c_str()};
};

struct RefusedName {
    const char* label;
    std::u16string keyPath;
    std::u16string valueName;
    LONG expected;
};

// Faults caught: a line break in a value name written into the hive (every
// later read fails as corrupt), a key name that closes its section and
// opens one for another key (a Debug value lands there), a CR that the
// text drops, an unpaired surrogate turned into U+FFFD by the UTF-8 hive.
const std::vector<RefusedName> kRefusedNames = {
    {"LF in a value name", u"SOFTWARE\\X", u"a\nb", 87},
    {"CR in a value name", u"SOFTWARE\\X", u"a\rb", 87},
    {"unpaired surrogate in a value name", u"SOFTWARE\\X", u"a\xD800", 87},
    {"CR in a key name", u"SOFTWARE\\a\rb", u"v", 1010},
    {"section smuggled in a key name",
     u"SOFTWARE\\Y]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin]\n\"Debug\"=\"y\"\n[HKEY_LOCAL_MACHINE\\Z",
     u"v", 1010},
    {"tab in a key name", u"SOFTWARE\\a\tb", u"v", 1010},
};

TEST_F(RegistryHardeningTest, NamesTheHiveCannotCarryAreRefusedAndNothingIsWritten)
{
    ASSERT_EQ(SetValue(u"SOFTWARE\\Kept", u"v", REG_DWORD, {1, 0, 0, 0}), 0);
    ASSERT_EQ(SetValue(u"SOFTWARE\\X", u"v", REG_DWORD, {1, 0, 0, 0}), 0);
    const std::string before = FileText(Hive());
    for (const RefusedName& row : kRefusedNames) {
        EXPECT_EQ(SetValue(row.keyPath, row.valueName, REG_SZ, valmorin::registry::StringData(u"y")), row.expected)
            << row.label;
        EXPECT_EQ(FileText(Hive()), before) << row.label;
        EXPECT_FALSE(Data(u"SOFTWARE\\Pelkor\\Common\\Valmorin", u"Debug")) << row.label;
    }
    EXPECT_EQ(Data(u"SOFTWARE\\Kept", u"v"), (std::vector<BYTE>{1, 0, 0, 0}));
}

TEST_F(RegistryHardeningTest, TheCommandNamesTheRefusedKey)
{
    const ProcessResult added = Valmorin({"reg", "add", "HKLM\\SOFTWARE\\X", "/v", "a\nb", "/d", "1", "/f"});
    EXPECT_EQ(added.exitCode, 1);
    EXPECT_NE(added.err.find("a\\nb"), std::string::npos) << added.err;
    EXPECT_NE(added.err.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\X"), std::string::npos) << added.err;
    EXPECT_FALSE(std::filesystem::exists(Hive()));
}

struct KeptString {
    const char* label;
    DWORD type;
    std::u16string text;
};

// Faults caught: string data with a line break written as a quoted string
// (the hive breaks), a CR dropped, an unpaired surrogate written as U+FFFD.
const std::vector<KeptString> kKeptStrings = {
    {"LF", REG_SZ, u"a\nb"},
    {"CR LF", REG_SZ, u"a\r\nb"},
    {"lone CR", REG_SZ, u"a\rb"},
    {"line break at the end", REG_EXPAND_SZ, u"%PATH%\n"},
    {"strings of a multi-string with a line break", REG_MULTI_SZ, std::u16string(u"a\nb\0c\0", 6)},
    {"unpaired high surrogate", REG_SZ, u"x\xD800y"},
    {"unpaired low surrogate", REG_SZ, u"\xDC00"},
    {"U+FFFE and U+FFFF", REG_SZ, u"\xFFFE\xFFFF"},
};

TEST_F(RegistryHardeningTest, StringDataReadsBackAsStored)
{
    for (const KeptString& row : kKeptStrings) {
        const std::vector<BYTE> data = valmorin::registry::StringData(row.text);
        ASSERT_EQ(SetValue(u"SOFTWARE\\Strings", u"v", row.type, data), 0) << row.label;
        EXPECT_EQ(Data(u"SOFTWARE\\Strings", u"v"), data) << row.label;
    }
}

struct PlantedLink {
    const char* label;
    std::string linkName; // beside the hive
    LONG expected;
};

// Faults caught: the temporary opened through a link (its target truncated
// and rewritten), the lock file created through a link, a hive that is a
// link written through.
const std::vector<PlantedLink> kPlantedLinks = {
    {"temporary", "HKEY_LOCAL_MACHINE.reg.new", 0},
    {"old lock file", "HKEY_LOCAL_MACHINE.reg.lock", 0},
    {"the hive itself", "HKEY_LOCAL_MACHINE.reg", 5},
};

TEST_F(RegistryHardeningTest, APlantedLinkIsNeverWrittenThrough)
{
    // Readable as a hive, so that only the write can go wrong.
    const std::string victimText = "Windows Registry Editor Version 5.00\n\n";
    for (const PlantedLink& row : kPlantedLinks) {
        std::filesystem::remove_all(m_folder / "tree");
        for (const char* name : {"HKEY_LOCAL_MACHINE.reg", "HKEY_LOCAL_MACHINE.reg.new", "HKEY_LOCAL_MACHINE.reg.lock"})
            std::filesystem::remove(m_folder / name);
        const std::filesystem::path victim = m_folder / "victim";
        WriteText(victim, victimText);
        std::filesystem::create_symlink(victim, m_folder / row.linkName);
        EXPECT_EQ(SetValue(u"SOFTWARE\\Linked", u"v", REG_DWORD, {1, 0, 0, 0}), row.expected) << row.label;
        EXPECT_EQ(FileText(victim), victimText) << row.label;
        EXPECT_FALSE(std::filesystem::exists(m_folder / "HKEY_LOCAL_MACHINE.reg.new")) << row.label;
    }
}

// Fault caught: folders made with the umask's leave (0777 under umask 0).
TEST_F(RegistryHardeningTest, TheHiveFolderHasItsOwnModeWhateverTheUmask)
{
    const ScopedEnvironment folder("PELKOR_REGISTRY_DIR", (m_folder / "made" / "pelkor").c_str());
    const mode_t old = ::umask(0);
    const LONG rc = SetValue(u"SOFTWARE\\X", u"v", REG_DWORD, {1, 0, 0, 0});
    ::umask(old);
    ASSERT_EQ(rc, 0);
    for (const char* level : {"made", "made/pelkor"}) {
        struct stat status {};
        ASSERT_EQ(::stat((m_folder / level).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0755u) << level;
    }
}

// Fault caught: a lock file made by root beside a hive that another account
// may write refuses that account.
TEST_F(RegistryHardeningTest, AnAccountAllowedToWriteTheHiveIsNotLockedOut)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second account";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(SetValue(u"SOFTWARE\\Shared", u"root", REG_DWORD, {1, 0, 0, 0}), 0);
    ASSERT_EQ(::chmod(m_folder.path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(Hive().c_str(), 0666), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) _exit(98);
        _exit(static_cast<int>(SetValue(u"SOFTWARE\\Shared", u"nobody", REG_DWORD, {2, 0, 0, 0})));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Data(u"SOFTWARE\\Shared", u"nobody"), (std::vector<BYTE>{2, 0, 0, 0}));
}

struct ImportedFile {
    const char* label;
    std::string text;
    std::vector<BYTE> expected;
};

// Faults caught: "dword:1" refused, a file ending without a line break
// refused, a REGEDIT4 file refused.
const std::vector<ImportedFile> kImportedFiles = {
    {"short dword",
     "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\I]\n\"v\"=dword:1\n",
     {1, 0, 0, 0}},
    {"no line break at the end",
     "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\I]\r\n\"v\"=dword:00000002",
     {2, 0, 0, 0}},
    {"REGEDIT4", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\I]\r\n\"v\"=dword:00000003\r\n", {3, 0, 0, 0}},
};

TEST_F(RegistryHardeningTest, ImportAcceptsWhatOtherEditorsWrite)
{
    for (const ImportedFile& row : kImportedFiles) {
        WriteText(m_folder / "in.reg", row.text);
        const ProcessResult imported = Valmorin({"reg", "import", (m_folder / "in.reg").string()});
        EXPECT_EQ(imported.exitCode, 0) << row.label << ": " << imported.err;
        EXPECT_EQ(Data(u"SOFTWARE\\I", u"v"), row.expected) << row.label;
    }
}

// Fault caught: forgiving a hive its missing last line break would read a
// hive cut short as whole.
TEST_F(RegistryHardeningTest, AHiveIsNotForgivenWhatAnImportIs)
{
    const std::string cut = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"v\"=dword:1";
    EXPECT_TRUE(valmorin::registry::ParseRegFile(cut, valmorin::registry::RegSource::Import));
    EXPECT_FALSE(valmorin::registry::ParseRegFile(cut, valmorin::registry::RegSource::Hive));
    EXPECT_FALSE(valmorin::registry::ParseRegFile("REGEDIT4\n", valmorin::registry::RegSource::Hive));
}

// Faults caught: a key without a default value answered as "not found",
// and a corrupt hive reported without the file that is corrupt.
TEST_F(RegistryHardeningTest, TheCommandAnswersAsRegDoes)
{
    ASSERT_EQ(SetValue(u"SOFTWARE\\NoDefault", u"v", REG_DWORD, {1, 0, 0, 0}), 0);
    const ProcessResult query = Valmorin({"reg", "query", "HKLM\\SOFTWARE\\NoDefault", "/ve"});
    EXPECT_EQ(query.exitCode, 0);
    EXPECT_EQ(query.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\NoDefault\n    (Default)    REG_SZ    (value not set)\n\n");

    WriteText(Hive(), "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n");
    const ProcessResult corrupt = Valmorin({"reg", "query", "HKLM\\SOFTWARE"});
    EXPECT_EQ(corrupt.exitCode, 1);
    EXPECT_NE(corrupt.err.find("valmorin: note: " + Hive().string() + ": not a well-formed"), std::string::npos)
        << corrupt.err;
}

struct UnreadableRegistry {
    const char* label;
    std::function<void(const std::filesystem::path& folder)> spoil;
};

// Faults caught: an exception from the corrupt hive (the computer name is
// read from it) or from an unreadable folder ending the command with an
// abort instead of an error that names the file.
TEST_F(RegistryHardeningTest, DataSourceShowReportsABrokenRegistry)
{
    const std::vector<UnreadableRegistry> rows = {
        {"corrupt hive",
         [](const std::filesystem::path& folder) { WriteText(folder / "HKEY_LOCAL_MACHINE.reg", "garbage\n"); }},
        {"hive is a folder",
         [](const std::filesystem::path& folder) {
             std::filesystem::create_directories(folder / "HKEY_LOCAL_MACHINE.reg");
         }},
    };
    for (const UnreadableRegistry& row : rows) {
        std::filesystem::remove_all(Hive());
        row.spoil(m_folder.path());
        const ProcessResult shown = Valmorin({"datasource", "show", "NK"});
        EXPECT_EQ(shown.exitCode, 2) << row.label << ": " << shown.err;
        EXPECT_NE(shown.err.find(Hive().string()), std::string::npos) << row.label << ": " << shown.err;
        EXPECT_EQ(shown.err.find("terminate"), std::string::npos) << row.label;
    }
}

} // namespace
