// The test program's entry: every test runs inside a sandbox of its own, so
// that nothing the suite does reaches the machine or the caller's account,
// and nothing of theirs (a Debug switch in the registry, a default store,
// configured data sources) changes what the tests see.
#include "support/test_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <unistd.h>

namespace {

void MakeFolder(const std::filesystem::path& folder, std::filesystem::perms mode)
{
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, mode);
}

// Folders that the tests' other account (nobody) must reach too.
void PlaceSandbox(const std::filesystem::path& base)
{
    using std::filesystem::perms;
    const perms shared = perms::owner_all | perms::group_read | perms::group_exec | perms::others_read |
                         perms::others_exec;
    std::filesystem::permissions(base, shared);
    MakeFolder(base / "root" / "dev" / "shm", perms::all | perms::sticky_bit);
    MakeFolder(base / "root" / "var" / "log", shared);
    MakeFolder(base / "root" / "var" / "lib", shared);
    MakeFolder(base / "root" / "etc" / "pelkor", shared);
    MakeFolder(base / "registry", shared);
    MakeFolder(base / "home", perms::owner_all);
    MakeFolder(base / "tmp", perms::all | perms::sticky_bit);
    setenv("PELKOR_ROOT", (base / "root").c_str(), 1);
    setenv("PELKOR_REGISTRY_DIR", (base / "registry").c_str(), 1);
    setenv("HOME", (base / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (base / "home" / ".local" / "share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (base / "home" / ".config").c_str(), 1);
    unsetenv("PELKOR_DATASOURCES_DIR");
    // Where SQLite puts a statement journal grown past what it buffers.
    setenv("SQLITE_TMPDIR", (base / "tmp").c_str(), 1);
}

} // namespace

int main(int argc, char** argv)
{
    const pid_t owner = getpid();
    TempDir sandbox;
    PlaceSandbox(sandbox.path());
    PrepareTestProgram();
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    // A forked child that returns here must not remove its parent's sandbox.
    if (getpid() != owner) _exit(status);
    return status;
}
