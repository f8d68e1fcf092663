#include "qmt/sys/shell_folder.h"

#include "platform/text/utf.h"
#include "platform/posix/user_folders.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/format.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/file_error.h"

#include <algorithm>
#include <filesystem>

namespace qmt {

namespace {

constexpr std::size_t kFolderTextCapacity = 260;

// What SHGetFolderPathW answers for the folders the component uses.
HRESULT FolderPath(int folderId, std::filesystem::path& folder)
{
    switch (folderId & ~CSIDL_FLAG_CREATE) {
    case CSIDL_APPDATA: folder = UserDataFolder(); break;
    case CSIDL_COMMON_APPDATA: folder = MachineFolder("/var/lib"); break;
    default: return E_INVALIDARG;
    }
    if ((folderId & CSIDL_FLAG_CREATE) == 0) return S_OK;
    std::error_code failed;
    std::filesystem::create_directories(folder, failed);
    return failed ? HRESULT_FROM_WIN32(Win32ErrorOfErrno(failed.value())) : S_OK;
}

} // namespace

CShellFolder::CShellFolder(int folderId)
{
    const char16_t* const step = u"SHGetFolderPath";
    try {
        std::filesystem::path folder;
        ThrowIfFailedHr(FolderPath(folderId, folder));
        ChangeTo(valmorin::text::Widen(folder.string()));
    } catch (const CException& e) {
        std::u16string text = Format(u"Exception in CShellFolder::CShellFolder (%x) source:%s description:%s", folderId,
                                     step, e.description.c_str());
        text.resize(std::min(text.size(), kFolderTextCapacity - 1));
        TraceDebug(u"%s", text.c_str());
        throw CException(step, text, e.code);
    }
}

const char* CShellFolder::GetClassName() const { return "CShellFolder"; }

} // namespace qmt
