#include "valmorin/com/guid.h"
#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/file.h"
#include "qmt/sys/pe_file.h"
#include "qmt/sys/shell_folder.h"
#include "support/memory_log.h"
#include "support/component_library.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include <dlfcn.h>
#include <sys/stat.h>

using qmt::CException;
using qmt::CFile;
using qmt::CNode;
using qmt::CWinException;

namespace fs = std::filesystem;

namespace {

std::u16string Wide(const fs::path& path) { return valmorin::text::Widen(path.string()); }

DWORD CodeOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CException& e) {
        return e.code;
    }
    return 0;
}

void Touch(const fs::path& file, const std::string& content = "x") { std::ofstream(file) << content; }

TEST(NodeTest, RegistryPathsFollowTheWindowsAlgebra)
{
    CNode node(u'\\', u"C:\\ProgramData");
    EXPECT_EQ(node.ChangeTo(u".."), u"C:");
    EXPECT_EQ(node.Name(), u"C:");
    EXPECT_EQ(node.ChangeTo(u".."), u"C:");
    EXPECT_EQ(node.ChangeTo(u"D:\\x\\"), u"D:\\x");
    EXPECT_EQ(node.Name(), u"\\x");
    EXPECT_EQ(node.ChangeTo(u"Pelkor"), u"D:\\x\\Pelkor");
    EXPECT_EQ(node.Name(), u"Pelkor");
    EXPECT_EQ(node.ChangeTo(u"\\QMS\\"), u"D:\\x\\Pelkor\\QMS");
    EXPECT_EQ(node.Name(), u"\\QMS");
    EXPECT_EQ(node.ChangeTo(u"a\\b"), u"D:\\x\\Pelkor\\QMS\\a\\b");
    EXPECT_EQ(node.ChangeTo(u""), u"D:\\x\\Pelkor\\QMS\\a\\b");

    EXPECT_EQ(CNode(u'\\', u"HKEY_LOCAL_MACHINE\\SOFTWARE").Name(), u"\\SOFTWARE");
    CNode root(u'\\', u"HKEY_LOCAL_MACHINE");
    EXPECT_EQ(root.ChangeTo(u".."), u"HKEY_LOCAL_MACHINE");
}

TEST(NodeTest, LinuxPathsKeepTheirRoot)
{
    CNode node(u'/', u"/var/lib/");
    EXPECT_EQ(node.Path(), u"/var/lib");
    EXPECT_EQ(node.Name(), u"/lib");
    EXPECT_EQ(node.ChangeTo(u".."), u"/var");
    EXPECT_EQ(node.ChangeTo(u".."), u"/");
    EXPECT_EQ(node.Name(), u"/");
    EXPECT_EQ(node.ChangeTo(u".."), u"/");
    EXPECT_EQ(node.ChangeTo(u"tmp"), u"/tmp");
    EXPECT_EQ(node.ChangeTo(u".."), u"/");
    EXPECT_EQ(node.ChangeTo(u"/Pelkor/"), u"/Pelkor");
    EXPECT_EQ(CNode(u'/', u"/").Path(), u"/");
}

class FileTest : public ::testing::Test {
protected:
    std::vector<std::u16string> Messages() const
    {
        std::vector<std::u16string> messages;
        for (const auto& record : m_log.records()) messages.push_back(record.message);
        return messages;
    }

    TempDir m_folder;
    MemoryLog m_log;
};

TEST_F(FileTest, ChildCreatesFoldersOnTheWayAndJoinsFileNames)
{
    const CFile folder(Wide(m_folder.path()));
    const CFile pelkor = folder.Child(u"/Pelkor");
    const CFile log = pelkor.Child(u"Valmorin.log");

    EXPECT_TRUE(fs::is_directory(m_folder / "Pelkor"));
    EXPECT_EQ(pelkor.Child(u"/Pelkor").Path(), Wide(m_folder / "Pelkor" / "Pelkor"));
    EXPECT_EQ(log.Path(), Wide(m_folder / "Pelkor" / "Valmorin.log"));
    EXPECT_FALSE(fs::exists(m_folder / "Pelkor" / "Valmorin.log"));
    EXPECT_EQ(Messages(), (std::vector<std::u16string>{u"mkdir " + Wide(m_folder / "Pelkor"),
                                                       u"mkdir " + Wide(m_folder / "Pelkor" / "Pelkor")}));
}

TEST_F(FileTest, SizeIsTheLow32BitsAndAMissingFileFails)
{
    Touch(m_folder / "big");
    fs::resize_file(m_folder / "big", 5ull << 30); // sparse
    CFile big(Wide(m_folder / "big"));
    EXPECT_EQ(big.Size(), 1u << 30);

    CFile missing(Wide(m_folder / "missing"));
    EXPECT_EQ(CodeOf([&] { missing.Size(); }), 2u);
}

TEST_F(FileTest, StreamsOpenAndCloseWithTheirRecords)
{
    CFile file(Wide(m_folder / "out.txt"));
    file.Open(u"w");
    std::fputs("written", file.Stream());
    file.Close();
    EXPECT_EQ(file.Stream(), nullptr);
    EXPECT_EQ(Messages(), (std::vector<std::u16string>{u"open file:" + file.Path(), u"close file:" + file.Path()}));

    CFile empty;
    EXPECT_EQ(CodeOf([&] { empty.Open(u"r"); }), 5u);
    CFile missing(Wide(m_folder / "missing"));
    EXPECT_EQ(CodeOf([&] { missing.Open(u"r"); }), 2u);
    {
        CFile temporary(Wide(m_folder / "out.txt"));
        temporary.DeleteOnDestroy(true);
    }
    EXPECT_FALSE(fs::exists(m_folder / "out.txt"));
}

TEST_F(FileTest, DeletingAFolderRemovesItsTreeWithoutFollowingLinks)
{
    fs::create_directories(m_folder / "tree" / "sub" / "deeper");
    fs::create_directories(m_folder / "outside");
    Touch(m_folder / "tree" / "a.log");
    Touch(m_folder / "tree" / "sub" / "deeper" / ".hidden");
    Touch(m_folder / "tree" / "sub" / "read-only");
    fs::permissions(m_folder / "tree" / "sub" / "read-only", fs::perms::owner_read);
    Touch(m_folder / "outside" / "kept");
    fs::create_directory_symlink(m_folder / "outside", m_folder / "tree" / "link");

    CFile folder(Wide(m_folder.path()));
    folder.Delete(u"/tree");

    EXPECT_FALSE(fs::exists(m_folder / "tree"));
    EXPECT_TRUE(fs::exists(m_folder / "outside" / "kept"));
    EXPECT_EQ(CodeOf([&] { folder.Delete(u"missing"); }), 2u);
    EXPECT_EQ(CodeOf([&] { folder.Delete(u"outside"); }), 5u);
}

TEST_F(FileTest, DeletingTheCurrentFolderMovesToItsParent)
{
    const fs::path before = fs::current_path();
    fs::create_directories(m_folder / "here" / "inner");
    fs::current_path(m_folder / "here");

    CFile(Wide(m_folder.path())).Delete(u"/here");

    const fs::path after = fs::current_path();
    fs::current_path(before);
    EXPECT_EQ(after, m_folder.path());
    EXPECT_FALSE(fs::exists(m_folder / "here"));
}

TEST_F(FileTest, IterationNamesFoldersWithALeadingSeparator)
{
    fs::create_directory(m_folder / "sub");
    Touch(m_folder / "a.log", "12345");
    Touch(m_folder / "b.txt");
    const std::u16string folder = Wide(m_folder.path());

    std::vector<std::u16string> names;
    for (CFile::iterator it(folder, u"*.*"), end; it != end; ++it) names.push_back((*it).Name());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"/.", u"/..", u"/sub", u"a.log", u"b.txt"}));

    CFile::iterator logs(folder, u"*.log");
    CFile log = *logs;
    EXPECT_EQ(log.Path(), folder + u"/a.log");
    EXPECT_EQ(log.Size(), 5u);
    CFile::iterator copy = logs;
    EXPECT_EQ(++logs, CFile::iterator());
    EXPECT_NE(copy, CFile::iterator());
    EXPECT_EQ(CodeOf([&] { CFile::iterator(folder, u"*.none"); }), 2u);
    EXPECT_EQ(CodeOf([&] { CFile::iterator(folder + u"/missing", u"*.*"); }), 3u);
}

TEST_F(FileTest, ReadOnlyIsTheAbsenceOfWriteBits)
{
    Touch(m_folder / "file");
    CFile file(Wide(m_folder / "file"));
    const auto mode = [&] { return fs::status(m_folder / "file").permissions(); };
    fs::permissions(m_folder / "file", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_write);

    file.SetAttribute(u"+R");
    EXPECT_EQ(mode(), fs::perms::owner_read);
    file.SetAttribute(u"*r");
    file.SetAttribute(u"+h");
    file.SetAttribute(u"-a");
    EXPECT_EQ(mode(), fs::perms::owner_read);
    file.SetAttribute(u"-r");
    EXPECT_EQ(mode(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(CodeOf([&] { CFile(Wide(m_folder / "missing")).SetAttribute(u"+r"); }), 2u);
}

TEST_F(FileTest, ShellFoldersLieInTheXdgFolders)
{
    setenv("XDG_DATA_HOME", (m_folder / "data").c_str(), 1);
    EXPECT_EQ(qmt::CShellFolder(qmt::CSIDL_APPDATA | qmt::CSIDL_FLAG_CREATE).Path(), Wide(m_folder / "data"));
    EXPECT_TRUE(fs::is_directory(m_folder / "data"));
    unsetenv("XDG_DATA_HOME");
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    setenv("HOME", m_folder.path().c_str(), 1);
    EXPECT_EQ(qmt::CShellFolder(qmt::CSIDL_APPDATA).Path(), Wide(m_folder / ".local" / "share"));
    setenv("HOME", home.c_str(), 1);
    const std::string root = std::getenv("PELKOR_ROOT") != nullptr ? std::getenv("PELKOR_ROOT") : "";
    setenv("PELKOR_ROOT", m_folder.path().c_str(), 1);
    EXPECT_EQ(qmt::CShellFolder(qmt::CSIDL_COMMON_APPDATA).Path(), Wide(m_folder / "var" / "lib"));
    unsetenv("PELKOR_ROOT");
    EXPECT_EQ(qmt::CShellFolder(qmt::CSIDL_COMMON_APPDATA).Path(), u"/var/lib");
    setenv("PELKOR_ROOT", root.c_str(), 1);

    try {
        qmt::CShellFolder unknown(0x1234);
        FAIL() << "made an unknown folder";
    } catch (const CException& e) {
        EXPECT_EQ(e.source, u"SHGetFolderPath");
        EXPECT_EQ(e.code, 0x80070057u);
        EXPECT_EQ(e.description,
                  u"Exception in CShellFolder::CShellFolder (1234) source:SHGetFolderPath description:Error:80070057");
        EXPECT_EQ(Messages().back(), e.description);
    }
}

std::string SourceVersion()
{
    std::ifstream cmake(std::string(VALMORIN_SOURCE_DIR) + "/CMakeLists.txt");
    std::stringstream text;
    text << cmake.rdbuf();
    const std::string script = text.str();
    const std::string_view key = "project(Valmorin VERSION ";
    const std::size_t from = script.find(key) + key.size();
    return script.substr(from, script.find_first_not_of("0123456789.", from) - from);
}

fs::path ComponentLibrary() { return ComponentLibraryFile(); }

TEST_F(FileTest, TheComponentsVersionIsReadFromItsLibrary)
{
    const qmt::CPEFile component(Wide(ComponentLibrary()));
    EXPECT_EQ(component.ProductName(), u"Valmorin");
    EXPECT_EQ(component.ProductVersion(), valmorin::text::Widen(SourceVersion()));

    // A resource without its translation gives empty strings.
    std::ifstream in(ComponentLibrary(), std::ios::binary);
    std::string library{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t translation = library.find("\\VarFileInfo\\Translation=");
    ASSERT_NE(translation, std::string::npos);
    library[translation + 1] = 'X';
    std::ofstream(m_folder / "untranslated.so", std::ios::binary) << library;
    const qmt::CPEFile untranslated(Wide(m_folder / "untranslated.so"));
    EXPECT_EQ(untranslated.ProductName(), u"");
    EXPECT_EQ(untranslated.ProductVersion(), u"");

    Touch(m_folder / "text.so", "not a module");
    EXPECT_EQ(CodeOf([&] { qmt::CPEFile(Wide(m_folder / "text.so")).ProductName(); }), 193u);
    EXPECT_EQ(
        CodeOf([&] {
            qmt::CPEFile(Wide(ComponentLibrary().parent_path() / "platform" / "libvalmorin_platform.so")).ProductName();
        }),
        1813u);
    EXPECT_EQ(CodeOf([&] { qmt::CPEFile(Wide(m_folder / "missing.so")).ProductName(); }), 2u);
}

} // namespace
