// Every file written by replacement reaches the disk before it takes the
// old one's place: its own flush comes before the rename, and the folder's
// after it, so that a power cut leaves the old file or the new one, never an
// empty one. The calls are seen through fsync and rename, which this
// program defines over the C library's own and records while a test asks.
#include "platform/datasource/store_file.h"
#include "platform/posix/replacement_file.h"
#include "support/registry_sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_recording{false};
std::mutex g_mutex;
std::vector<std::string> g_calls;

std::string PathOf(int fd)
{
    char path[PATH_MAX] = {};
    const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "?";
}

void Record(std::string call)
{
    const std::lock_guard lock(g_mutex);
    g_calls.push_back(std::move(call));
}

} // namespace

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    if (g_recording) Record("fsync " + PathOf(fd));
    return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept
{
    static const auto real = reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(RTLD_NEXT, "rename"));
    if (g_recording) Record(std::string("rename ") + from + " " + to);
    return real(from, to);
}

namespace {

class ReplacementDurabilityTest : public RegistrySandbox {
protected:
    void SetUp() override
    {
        RegistrySandbox::SetUp();
        g_calls.clear();
        g_recording = true;
    }
    void TearDown() override
    {
        g_recording = false;
        RegistrySandbox::TearDown();
    }
    // The calls that replaced target: its temporary flushed, renamed over
    // it, then its folder flushed; in that order and nothing between.
    static void ExpectFlushedReplacement(const std::filesystem::path& target)
    {
        g_recording = false;
        const std::string temporary = target.string() + ".new";
        std::vector<std::string> calls;
        for (const std::string& call : g_calls)
            if (call.find(target.string()) != std::string::npos || call == "fsync " + target.parent_path().string())
                calls.push_back(call);
        const std::vector<std::string> expected = {"fsync " + temporary, "rename " + temporary + " " + target.string(),
                                                   "fsync " + target.parent_path().string()};
        ASSERT_GE(calls.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()), expected);
    }
};

// Fault caught: a file renamed over the old one before (or without) its
// flush, or its folder left unflushed, in any of the files written so.
TEST_F(ReplacementDurabilityTest, EachReplacedFileIsFlushedBeforeItsRenameAndItsFolderAfter)
{
    const std::filesystem::path plain = m_folder / "plain.txt";
    valmorin::posix::ReplacementFile file(plain, plain.string() + ".new");
    ASSERT_EQ(file.Write("whole"), 0);
    ASSERT_EQ(file.Commit(), 0);
    ExpectFlushedReplacement(plain);

    g_calls.clear();
    g_recording = true;
    SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Pelkor", u"Durable", 1);
    ExpectFlushedReplacement(Hive("HKEY_LOCAL_MACHINE"));

    g_calls.clear();
    g_recording = true;
    const std::filesystem::path catalogue = m_folder / "odbc.ini";
    EXPECT_EQ(valmorin::datasource::UpdateStoreFile(
                  catalogue,
                  [](std::vector<valmorin::datasource::DataSource>& sources) {
                      sources.push_back({u"NK", u"", u"Provider=SQLite;Data Source=/x.db", u""});
                  }),
              "");
    ExpectFlushedReplacement(catalogue);
}

} // namespace
