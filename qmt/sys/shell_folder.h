// The folders Windows names with CSIDL values, where they lie on Linux:
//   CSIDL_APPDATA         the user's data folder, $XDG_DATA_HOME or
//                         ~/.local/share
//   CSIDL_COMMON_APPDATA  the machine's, /var/lib
// With CSIDL_FLAG_CREATE the folder is created when missing.
#pragma once

#include "qmt/sys/file.h"

namespace qmt {

inline constexpr int CSIDL_APPDATA = 0x001A;
inline constexpr int CSIDL_COMMON_APPDATA = 0x0023;
inline constexpr int CSIDL_FLAG_CREATE = 0x8000;

class CShellFolder : public CFile {
public:
    // A CException with source "SHGetFolderPath" and the folder id in its
    // description when the folder is unknown or cannot be had.
    explicit CShellFolder(int folderId);

    const char* GetClassName() const override;
};

} // namespace qmt
