// The command's notes after a failed call: the component's error line says
// what failed; the note says which file and which rule, so that a user can
// act on it without the system log.
#include "platform/text/utf.h"
#include "support/other_account.h"
#include "support/datasource_folders.h"
#include "support/process.h"
#include "support/store.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/mount.h>
#include <sys/stat.h>

namespace {

class FailureNotesTest : public ::testing::Test {
protected:
    ProcessResult Run(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv{VALMORIN_CLI};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, "", m_folders.environment());
    }
    // The user's NK names this SQLite file.
    void UseStore(const std::filesystem::path& file) const
    {
        DataSourceFolders::Write(
            m_folders.userFile(),
            "[NK]\nConnectionString = " + valmorin::text::Utf16ToUtf8(SqliteConnectionString(file)) + "\n");
    }
    static std::string Note(const ProcessResult& result)
    {
        const std::size_t at = result.err.find("valmorin: note: ");
        return at == std::string::npos ? std::string() : result.err.substr(at);
    }

    DataSourceFolders m_folders;
    TempDir m_dir;
};

// Faults caught: a refused data-source file reported only as a closed
// connection, or the note not naming the file and the rule it breaks.
TEST_F(FailureNotesTest, ARefusedDataSourceFileIsExplained)
{
    const std::string user = m_folders.userFile().string();
    struct Case {
        const char* text;
        mode_t mode;
        std::string why;
    };
    const Case cases[] = {
        {"[NK]\nConnectionString = x\n", 0666, user + ": writable by others than its owner (mode 0666): not trusted"},
        {"[NK]\nthis is no key\n", 0600, user + ": line 2: expected [name], key = value or a comment"},
    };
    for (const Case& c : cases) {
        DataSourceFolders::Write(m_folders.userFile(), c.text, c.mode);
        const ProcessResult result = Run({"translate", "T", "a"});
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(Note(result), "valmorin: note: the data sources are refused: " + c.why + "\n") << result.err;
    }
    std::filesystem::remove(m_folders.userFile());
    ASSERT_EQ(::mkfifo(m_folders.userFile().c_str(), 0600), 0);
    EXPECT_EQ(Note(Run({"translate", "T", "a"})),
              "valmorin: note: the data sources are refused: " + user + ": not a regular file\n");
}

// Faults caught: a store that cannot serve reported without its file, or
// with the wrong reason.
TEST_F(FailureNotesTest, AStoreThatCannotServeIsNamed)
{
    const std::string from = " (data source NK in " + m_folders.userFile().string() + ") ";
    const std::filesystem::path notADatabase = m_dir / "text.db";
    std::ofstream(notADatabase) << "just some text, long enough to be read as a header";
    UseStore(notADatabase);
    EXPECT_EQ(Note(Run({"translate", "T", "a"})),
              "valmorin: note: the store " + notADatabase.string() + from + "is not a SQLite database\n");

    std::filesystem::create_directory(m_dir / "folder.db");
    UseStore(m_dir / "folder.db");
    EXPECT_EQ(Note(Run({"translate", "T", "a"})),
              "valmorin: note: the store " + (m_dir / "folder.db").string() + from + "is a folder, not a store file\n");

    if (::geteuid() == 0) return; // root reads and writes every file
    const TestStore store;
    UseStore(store.file());
    ASSERT_EQ(::chmod(store.file().c_str(), 0444), 0);
    const ProcessResult readOnly = Run({"transadd", "T", "a", "b"});
    EXPECT_EQ(readOnly.exitCode, 2);
    EXPECT_EQ(Note(readOnly), "valmorin: note: the store " + store.file().string() + from +
                                  "is read-only for this account: Permission denied\n");
    ASSERT_EQ(::chmod(store.file().c_str(), 0), 0);
    EXPECT_EQ(Note(Run({"translate", "T", "a"})),
              "valmorin: note: the store " + store.file().string() + from + "cannot be read: Permission denied\n");
}

// A small file system of the test's own, unmounted whatever happens.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::filesystem::path& folder) : m_folder(folder)
    {
        std::filesystem::create_directories(folder);
        m_mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") == 0;
    }
    ~SmallFileSystem()
    {
        if (m_mounted) ::umount2(m_folder.c_str(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool mounted() const { return m_mounted; }

private:
    std::filesystem::path m_folder;
    bool m_mounted = false;
};

// Fault caught: a full disk reported as an unspecified error, with
// SQLite's "database or disk is full" and the file lost.
TEST_F(FailureNotesTest, AFullDiskSaysSo)
{
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    const SmallFileSystem small(m_dir / "small");
    if (!small.mounted()) GTEST_SKIP() << "no tmpfs may be mounted here";
    const std::filesystem::path file = m_dir / "small" / "store.db";
    ASSERT_EQ(Run({"init", "--connection", valmorin::text::Utf16ToUtf8(SqliteConnectionString(file))}).exitCode, 0);
    UseStore(file);
    const std::string value(60000, 'x');
    ProcessResult result;
    for (int i = 0; i < 20 && result.exitCode != 2; ++i) result = Run({"transadd", "T", std::to_string(i), value});
    ASSERT_EQ(result.exitCode, 2) << "the file system never filled";
    EXPECT_EQ(Note(result), "valmorin: note: the store " + file.string() + " (data source NK in " +
                                m_folders.userFile().string() +
                                ") cannot grow: database or disk is full (no space is left on its file system)\n");
    // The error itself names the reason, for every caller: a batch line too.
    EXPECT_NE(result.err.find("database or disk is full"), std::string::npos) << result.err;
    const ProcessResult batch =
        RunProcess({VALMORIN_CLI, "--batch"}, "transadd\tT\tlast\t" + value + "\n", m_folders.environment());
    EXPECT_TRUE(batch.out.starts_with("ERROR\t")) << batch.out.substr(0, 200);
    EXPECT_NE(batch.out.find("database or disk is full"), std::string::npos) << batch.out.substr(0, 200);
}

} // namespace
