// A file written whole beside the one it replaces and renamed over it once
// flushed: readers see the old contents or the new, never a part of them,
// and a writer that stops half-way leaves the old file as it was.
#pragma once

#include "valmorin/com/types.h"

#include "platform/posix/unique_fd.h"

#include <filesystem>
#include <string_view>

#include <sys/types.h>

namespace valmorin::posix {

class VALMORIN_PLATFORM_API ReplacementFile {
public:
    // Makes the temporary: under the name given, a leftover there (or a
    // link planted in its place) removed, never followed; without one,
    // under a name of its own beside target. It starts out as its writer's
    // only, whatever the umask. error() tells whether it could be made.
    explicit ReplacementFile(std::filesystem::path target, std::filesystem::path temporary = {});
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    // Removes the temporary unless it was put in place.
    ~ReplacementFile();

    // The errno of the first failure; 0 while there is none. Every call
    // after a failure does nothing and returns it again.
    int error() const { return m_error; }
    // Hands the file to an owner and group (-1 keeps the writer's); false
    // when they cannot be given, which is no failure of the file.
    bool GiveTo(uid_t owner, gid_t group);
    int SetMode(mode_t mode);
    int Write(std::string_view bytes);
    // Flushes the file, renames it over target and flushes the folder, so
    // that the replacement survives a power cut.
    int Commit();

    const std::filesystem::path& target() const { return m_target; }
    const std::filesystem::path& temporary() const { return m_temporary; }

private:
    int Fail(int error);

    std::filesystem::path m_target;
    std::filesystem::path m_temporary;
    UniqueFd m_fd{-1};
    int m_error = 0;
    bool m_committed = false;
};

} // namespace valmorin::posix
