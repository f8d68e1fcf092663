#include "activation.h"

#include "platform/com/inproc_server.h"
#include "platform/text/utf.h"
#include "valmorin/valmorin.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace {

constexpr char kLibraryFile[] = "libvalmorin.so";

std::filesystem::path CommandFolder()
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
}

// Beside the command itself, then where an installation or the build tree
// puts the library relative to the command.
std::filesystem::path LibraryBesideCommand()
{
    const std::filesystem::path folder = CommandFolder();
    std::string_view folders = VALMORIN_LIBRARY_FOLDERS;
    while (!folders.empty()) {
        const std::size_t end = std::min(folders.find(':'), folders.size());
        const std::filesystem::path candidate = (folder / folders.substr(0, end) / kLibraryFile).lexically_normal();
        if (std::filesystem::exists(candidate)) return candidate;
        folders.remove_prefix(std::min(end + 1, folders.size()));
    }
    return folder / kLibraryFile;
}

HRESULT CreateFrom(const std::u16string& library, Component& component)
{
    CComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObjectFromLibrary(library, CLSID_CValmorin, IClassFactory::iid,
                                             reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr))
        hr = factory->CreateInstance(nullptr, IDispatch::iid, reinterpret_cast<void**>(&component.object));
    component.library = library;
    return hr;
}

bool NotRegistered(HRESULT hr) { return hr == CO_E_CLASSSTRING || hr == REGDB_E_CLASSNOTREG; }

// What the activation said of its failure, when it said anything.
std::string Reason()
{
    CComPtr<IErrorInfo> info;
    CComBSTR description;
    if (GetErrorInfo(0, &info) != S_OK || !info || FAILED(info->GetDescription(&description))) return {};
    return description.view().empty() ? std::string() : ": " + valmorin::text::Utf16ToUtf8(description.view());
}

} // namespace

Component CreateComponent()
{
    Component component;
    CLSID clsid = GUID_NULL;
    HRESULT hr = CLSIDFromProgID(kValmorinProgId, &clsid);
    if (SUCCEEDED(hr)) hr = CoGetInprocServerPath(clsid, component.library);
    if (SUCCEEDED(hr)) {
        component.registered = true;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::iid,
                              reinterpret_cast<void**>(&component.object));
    } else if (NotRegistered(hr)) {
        hr = CreateFrom(valmorin::text::Widen(LibraryBesideCommand().string()), component);
    }
    if (FAILED(hr))
        throw std::runtime_error("cannot create the component from " + valmorin::text::Utf16ToUtf8(component.library) +
                                 ": " + HresultText(hr) +
                                 (component.registered ? " (registered as " : " (not registered as ") +
                                 valmorin::text::Utf16ToUtf8(kValmorinProgId) + ")" + Reason());
    return component;
}

std::string DescribeComponent(const Component& component)
{
    return valmorin::text::Utf16ToUtf8(kValmorinProgId) + " from " + valmorin::text::Utf16ToUtf8(component.library) +
           (component.registered ? " (registered)" : " (not registered; the library beside the command)");
}
