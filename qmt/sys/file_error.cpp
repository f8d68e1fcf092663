#include "qmt/sys/file_error.h"

#include <cerrno>

namespace qmt {

DWORD Win32ErrorOfErrno(int error)
{
    switch (error) {
    case ENOENT: return 2; // ERROR_FILE_NOT_FOUND
    case EMFILE:
    case ENFILE: return 4; // ERROR_TOO_MANY_OPEN_FILES
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return 5;         // ERROR_ACCESS_DENIED, as deleting a folder as a file gives
    case EBUSY: return 32;         // ERROR_SHARING_VIOLATION
    case EINVAL: return 87;        // ERROR_INVALID_PARAMETER
    case ENOSPC: return 112;       // ERROR_DISK_FULL
    case ENOTEMPTY: return 145;    // ERROR_DIR_NOT_EMPTY
    case ENAMETOOLONG: return 206; // ERROR_FILENAME_EXCED_RANGE
    case ENOTDIR: return 267;      // ERROR_DIRECTORY
    default: return 31;            // ERROR_GEN_FAILURE
    }
}

} // namespace qmt
