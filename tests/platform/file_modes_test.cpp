// Hives and data-source files are replaced whole on every write; the new
// file must keep the access an administrator gave the old one, and must
// never open the text to more people than before.
#include "support/other_account.h"
#include "platform/datasource/store_file.h"
#include "platform/registry/registry.h"
#include "support/environment.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <sys/stat.h>

namespace {

struct stat StatusOf(const std::filesystem::path& file)
{
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
    return status;
}

mode_t ModeOf(const std::filesystem::path& file) { return StatusOf(file).st_mode & 07777; }

// A group the test may give its files: another than its own when it has
// one (root may use any), else its own.
gid_t AnotherGroup()
{
    if (::geteuid() == 0) return 65534 == ::getegid() ? 1 : 65534;
    gid_t groups[64];
    const int count = ::getgroups(64, groups);
    for (int i = 0; i < count; ++i)
        if (groups[i] != ::getegid()) return groups[i];
    return ::getegid();
}

LONG SetDword(HKEY root, const std::u16string& name, DWORD number)
{
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root, u"Software\\Modes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != 0) return rc;
    rc = RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
    RegCloseKey(key);
    return rc;
}

class FileModesTest : public ::testing::Test {
protected:
    std::filesystem::path MachineHive() const { return m_folder / "registry" / "HKEY_LOCAL_MACHINE.reg"; }
    std::filesystem::path StoreFile() const { return m_folder / "datasources.ini"; }
    static std::string Update(const std::filesystem::path& file, const std::u16string& connection)
    {
        return valmorin::datasource::UpdateStoreFile(file, [&](std::vector<valmorin::datasource::DataSource>& sources) {
            sources.push_back(
                {u"NK" + std::u16string(1, static_cast<char16_t>(u'0' + sources.size())), u"", connection, u""});
        });
    }

    TempDir m_folder;
    ScopedEnvironment m_registry{"PELKOR_REGISTRY_DIR", (m_folder / "registry").c_str()};
};

// Faults caught: the replaced hive takes the creation mode (or the umask)
// instead of the old one's, or loses its group.
TEST_F(FileModesTest, ARewrittenHiveKeepsItsModeAndGroup)
{
    std::filesystem::create_directories(m_folder / "registry");
    const ScopedUmask strict(077);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"First", 1), 0);
    for (const mode_t mode : {mode_t{0640}, mode_t{0604}, mode_t{0600}, mode_t{0644}}) {
        ASSERT_EQ(::chmod(MachineHive().c_str(), mode), 0);
        ASSERT_EQ(::chown(MachineHive().c_str(), static_cast<uid_t>(-1), AnotherGroup()), 0);
        ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Next", mode), 0);
        EXPECT_EQ(ModeOf(MachineHive()), mode) << std::oct << mode;
        EXPECT_EQ(StatusOf(MachineHive()).st_gid, AnotherGroup()) << std::oct << mode;
    }
}

// Fault caught: a new hive made with the process's umask, readable by all
// for a user's hive or unreadable to other accounts for the machine's.
TEST_F(FileModesTest, NewHivesHaveTheirOwnModeWhateverTheUmask)
{
    const ScopedEnvironment config("XDG_CONFIG_HOME", (m_folder / "config").c_str());
    std::filesystem::create_directories(m_folder / "registry");
    for (const mode_t mask : {mode_t{0}, mode_t{077}}) {
        std::filesystem::remove(MachineHive());
        std::filesystem::remove(m_folder / "registry" / "HKEY_CURRENT_USER.reg");
        const ScopedUmask umask(mask);
        ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Machine", 1), 0);
        ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"User", 1), 0);
        EXPECT_EQ(ModeOf(MachineHive()), 0644u) << "umask " << std::oct << mask;
        EXPECT_EQ(ModeOf(m_folder / "registry" / "HKEY_CURRENT_USER.reg"), 0600u) << "umask " << std::oct << mask;
    }
}

// Faults caught: the data-source file rewritten with the creation mode, the
// writer's umask, or its own group in place of the old one.
TEST_F(FileModesTest, ARewrittenDataSourceFileKeepsItsModeAndGroup)
{
    const ScopedUmask strict(077);
    ASSERT_EQ(Update(StoreFile(), u"first"), "");
    EXPECT_EQ(ModeOf(StoreFile()), 0600u) << "a new file is its owner's only";
    for (const mode_t mode : {mode_t{0640}, mode_t{0644}, mode_t{0400}}) {
        ASSERT_EQ(::chmod(StoreFile().c_str(), mode), 0);
        ASSERT_EQ(::chown(StoreFile().c_str(), static_cast<uid_t>(-1), AnotherGroup()), 0);
        ASSERT_EQ(Update(StoreFile(), u"next"), "");
        EXPECT_EQ(ModeOf(StoreFile()), mode) << std::oct << mode;
        EXPECT_EQ(StatusOf(StoreFile()).st_gid, AnotherGroup()) << std::oct << mode;
    }
    EXPECT_EQ(valmorin::datasource::ReadStoreFile(StoreFile()).sources.size(), 4u);
}

// Faults caught: the writer follows a link planted as the file or as its
// temporary, leaves a lock file of its own beside the file (which would
// refuse a writer of another account), or lets the umask open a new file.
TEST_F(FileModesTest, TheDataSourceWriterFollowsNoLinkAndLocksTheFileItself)
{
    const std::filesystem::path victim = m_folder / "victim";
    std::ofstream(victim) << "victim";
    const auto victimText = [&] {
        std::ifstream in(victim);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::filesystem::create_symlink(victim, StoreFile());
    const std::string refused = Update(StoreFile(), u"through a link");
    EXPECT_NE(refused.find(StoreFile().string()), std::string::npos) << refused;
    EXPECT_EQ(victimText(), "victim");

    std::filesystem::remove(StoreFile());
    std::filesystem::create_symlink(victim, StoreFile().string() + ".new");
    const ScopedUmask open(0);
    ASSERT_EQ(Update(StoreFile(), u"beside a link"), "");
    EXPECT_EQ(victimText(), "victim");
    EXPECT_FALSE(std::filesystem::is_symlink(StoreFile()));
    EXPECT_EQ(ModeOf(StoreFile()), 0600u);
    EXPECT_FALSE(std::filesystem::exists(StoreFile().string() + ".lock"));
    EXPECT_FALSE(std::filesystem::exists(StoreFile().string() + ".new"));
    EXPECT_EQ(valmorin::datasource::ReadStoreFile(StoreFile()).sources.size(), 1u);
}

// A writer that may not give the file its old group (not a member of it)
// makes the file its own group's: the group's bits must go with the group,
// or the writer's group could read the passwords in the text.
class GroupNotKept : public FileModesTest {
protected:
    void SetUp() override
    {
        m_account = OtherAccountAvailable();
        if (!m_account) GTEST_SKIP() << "switching accounts needs root";
        std::filesystem::create_directories(m_folder / "registry");
        for (const auto& folder : {m_folder.path(), m_folder / "registry"})
            ASSERT_EQ(::chown(folder.c_str(), m_account->uid, m_account->gid), 0);
    }
    // The file as the other account's, in a group it is not a member of.
    void GiveAway(const std::filesystem::path& file, mode_t mode) const
    {
        ASSERT_EQ(::chown(file.c_str(), m_account->uid, 0), 0);
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
    }

    std::optional<OtherAccount> m_account;
};

TEST_F(GroupNotKept, TheDataSourceFileLosesTheGroupsAccess)
{
    std::ofstream(StoreFile()) << "[NK]\nConnectionString = first\n";
    GiveAway(StoreFile(), 0640);
    const std::filesystem::path file = StoreFile();
    EXPECT_EQ(RunAsAccount(*m_account, [&] { return Update(file, u"next").empty() ? 0 : 1; }), 0);
    EXPECT_EQ(ModeOf(StoreFile()), 0600u);
    EXPECT_EQ(StatusOf(StoreFile()).st_gid, m_account->gid);
    EXPECT_EQ(StatusOf(StoreFile()).st_uid, m_account->uid);
}

TEST_F(GroupNotKept, TheHiveLosesTheGroupsAccess)
{
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"First", 1), 0);
    GiveAway(MachineHive(), 0660);
    EXPECT_EQ(RunAsAccount(*m_account, [] { return SetDword(HKEY_LOCAL_MACHINE, u"Next", 2) == 0 ? 0 : 1; }), 0);
    EXPECT_EQ(StatusOf(MachineHive()).st_gid, m_account->gid);
    EXPECT_EQ(ModeOf(MachineHive()), 0600u);
}

} // namespace
