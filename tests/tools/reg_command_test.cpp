#include "support/other_account.h"
#include "platform/registry/registry.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

namespace {

using Outcome = ProcessResult;

// Standard input is a pipe, not a terminal, so the command never waits for
// an answer.
class RegCommandTest : public ::testing::Test {
protected:
    Outcome Reg(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv{VALMORIN_CLI, "reg"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, "", {{"PELKOR_REGISTRY_DIR", m_folder.path().string()}});
    }

    TempDir m_folder;
};

const std::string kKey = "HKLM\\SOFTWARE\\Pelkor\\Common\\Valmorin";
const std::string kCompleted = "The operation completed successfully.\n";
const std::string kMissing = "ERROR: The system was unable to find the specified registry key or value.\n";

std::string ContentsIfAny(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string("<none>");
}

// Without a registry folder of its own, the machine's hive lies below
// PELKOR_ROOT with the other machine-wide files: a sandboxed run, as root
// too, leaves /etc/pelkor alone.
// Fault caught: HKEY_LOCAL_MACHINE.reg written to /etc/pelkor whatever the root.
TEST_F(RegCommandTest, PelkorRootMovesTheMachinesHive)
{
    const std::filesystem::path machineHive = "/etc/pelkor/HKEY_LOCAL_MACHINE.reg";
    const std::string before = ContentsIfAny(machineHive);
    const Outcome added = RunProcess({VALMORIN_CLI, "reg", "add", kKey, "/v", "Moved", "/d", "y"}, "",
                                     {{"PELKOR_REGISTRY_DIR", ""}, {"PELKOR_ROOT", m_folder.path().string()}});
    EXPECT_EQ(added.out, kCompleted) << added.err;
    EXPECT_NE(ContentsIfAny(m_folder / "etc/pelkor/HKEY_LOCAL_MACHINE.reg").find("Moved"), std::string::npos);
    EXPECT_EQ(ContentsIfAny(machineHive), before);
}

// A write the account may not make (the machine's hive, owned by root, in
// a folder every account may write) fails and leaves no temporary behind.
// Fault caught: HKEY_LOCAL_MACHINE.reg.new left in the shared folder.
TEST_F(RegCommandTest, ARefusedWriteLeavesNoTemporaryFile)
{
    const std::optional<OtherAccount> other = OtherAccountAvailable();
    if (!other) GTEST_SKIP() << "needs root and the account nobody";
    std::filesystem::permissions(m_folder.path(), std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
    ASSERT_EQ(Reg({"add", kKey, "/v", "Debug", "/d", "n"}).exitCode, 0);
    const std::string folder = m_folder.path().string();
    const int status = RunAsAccount(*other, [&] {
        setenv("PELKOR_REGISTRY_DIR", folder.c_str(), 1);
        const char16_t data[] = u"y";
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor\\Common\\Valmorin", 0, KEY_ALL_ACCESS, &key) != 0)
            return 1;
        const LONG error = RegSetValueExW(key, u"Debug", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data);
        RegCloseKey(key);
        return error == 0 ? 2 : 0;
    });
    EXPECT_EQ(status, 0) << "the write was refused";
    EXPECT_FALSE(std::filesystem::exists(m_folder / "HKEY_LOCAL_MACHINE.reg.new"));
    EXPECT_NE(Reg({"query", kKey, "/v", "Debug"}).out.find("REG_SZ    n"), std::string::npos);
}

TEST_F(RegCommandTest, AddQueryAndDeleteAValue)
{
    EXPECT_EQ(Reg({"add", kKey, "/v", "Debug", "/d", "y"}).out, kCompleted);
    const Outcome query = Reg({"query", "hklm\\software\\pelkor\\common\\valmorin", "/v", "debug"});
    EXPECT_EQ(query.exitCode, 0);
    EXPECT_EQ(query.out, "\nHKEY_LOCAL_MACHINE\\software\\pelkor\\common\\valmorin\n    Debug    REG_SZ    y\n\n");

    EXPECT_EQ(Reg({"ADD", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\COMMON", "/V", "LogFileSize", "/T", "REG_DWORD", "/D",
                   "0x100000"})
                  .exitCode,
              0);
    EXPECT_EQ(Reg({"add", kKey + "\\Sub"}).exitCode, 0);
    EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Pelkor\\COMMON", "/v", "LogFileSize"}).out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\COMMON\n    LogFileSize    REG_DWORD    0x100000\n\n");
    EXPECT_EQ(Reg({"query", kKey}).out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin\n"
                                        "    Debug    REG_SZ    y\n\n"
                                        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin\\Sub\n");
    EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Pelkor", "/s"}).out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\n"
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\n    LogFileSize    REG_DWORD    0x100000\n"
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin\n    Debug    REG_SZ    y\n"
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin\\Sub\n"
              "\nEnd of search: 5 match(es) found.\n");

    EXPECT_EQ(Reg({"delete", kKey, "/v", "Debug", "/f"}).out, kCompleted);
    const Outcome missing = Reg({"query", kKey, "/v", "Debug"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, kMissing);
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Nowhere"}).err, kMissing);
    EXPECT_EQ(Reg({"delete", kKey, "/f"}).exitCode, 0);
    EXPECT_EQ(Reg({"query", kKey}).exitCode, 1);
}

TEST_F(RegCommandTest, ReplacingOrDeletingNeedsForceWithoutATerminal)
{
    ASSERT_EQ(Reg({"add", kKey, "/v", "Debug", "/d", "n"}).exitCode, 0);

    const Outcome refused = Reg({"add", kKey, "/v", "Debug", "/d", "y"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "ERROR: Value Debug exists; add /f to overwrite it without asking.\n");
    EXPECT_EQ(Reg({"delete", kKey}).exitCode, 1);
    EXPECT_NE(Reg({"query", kKey, "/v", "Debug"}).out.find("REG_SZ    n"), std::string::npos);

    EXPECT_EQ(Reg({"add", kKey, "/v", "Debug", "/d", "y", "/f"}).exitCode, 0);
    EXPECT_NE(Reg({"query", kKey, "/v", "Debug"}).out.find("REG_SZ    y"), std::string::npos);
}

TEST_F(RegCommandTest, BadArgumentsFailWithRegsMessages)
{
    const Outcome badRoot = Reg({"query", "HKXX\\Software"});
    EXPECT_EQ(badRoot.exitCode, 1);
    EXPECT_EQ(badRoot.err, "ERROR: Invalid key name.\n");
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"add", kKey, "/v", "N", "/t", "REG_DWORD", "/d", "ten"},
                                               {"add", kKey, "/t", "REG_TEXT"},
                                               {"add", kKey, "/v", "N", "/ve"},
                                               {"add", kKey, "/x"},
                                               {"add", kKey, "/v"},
                                               {"query"},
                                               {"rename", kKey}}) {
        const Outcome run = Reg(args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.err.starts_with("ERROR: Invalid syntax.")) << run.err;
    }
}

TEST_F(RegCommandTest, ExportedKeysImportBack)
{
    ASSERT_EQ(Reg({"add", kKey, "/v", "Debug", "/d", "y \"quoted\""}).exitCode, 0);
    ASSERT_EQ(Reg({"add", kKey, "/ve", "/t", "REG_MULTI_SZ", "/d", "a\\0b"}).exitCode, 0);
    ASSERT_EQ(Reg({"add", kKey + "\\Empty"}).exitCode, 0);
    const std::string file = (m_folder / "pelkor.reg").string();

    EXPECT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Pelkor", file}).out, kCompleted);
    std::ifstream in(file, std::ios::binary);
    const std::string exported{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(exported.starts_with(std::string("\xFF\xFEW\0i\0n\0", 8)));
    EXPECT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Pelkor", file}).exitCode, 1);
    const std::string before = Reg({"query", "HKLM\\SOFTWARE\\Pelkor", "/s"}).out;

    ASSERT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Pelkor", "/f"}).exitCode, 0);
    EXPECT_EQ(Reg({"import", file}).out, kCompleted);
    EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Pelkor", "/s"}).out, before);
    EXPECT_NE(before.find("    (Default)    REG_MULTI_SZ    a\\0b\n"), std::string::npos) << before;

    std::ofstream(m_folder / "changes.reg")
        << "Windows Registry Editor Version 5.00\n\n"
           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin\\Empty]\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin]\n\"Debug\"=-\n";
    EXPECT_EQ(Reg({"import", (m_folder / "changes.reg").string()}).exitCode, 0);
    EXPECT_EQ(Reg({"query", kKey}).out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin\n"
                                        "    (Default)    REG_MULTI_SZ    a\\0b\n");
    EXPECT_EQ(Reg({"import", (m_folder / "missing.reg").string()}).exitCode, 1);
}

} // namespace
