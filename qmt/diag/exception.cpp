#include "qmt/diag/exception.h"

#include "platform/com/com_error.h"
#include "platform/win32/kernel.h"
#include "qmt/diag/format.h"
#include "qmt/diag/trace.h"

#include <optional>

namespace qmt {

namespace {

constexpr std::size_t kWindowsTextCapacity = 512;
constexpr std::size_t kErrorTextCapacity = 260;

std::optional<std::u16string> SystemText(DWORD code)
{
    OLECHAR* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            FORMAT_MESSAGE_FROM_SYSTEM,
                                        nullptr, code, 0x0400, reinterpret_cast<LPOLESTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) return std::nullopt;
    std::u16string text(buffer, length);
    LocalFree(buffer);
    return text;
}

void SetNoErrorInfoTexts(CException& e)
{
    e.source = u"_com_error";
    e.description = FitToBuffer(Format(u"Error:%lx", e.code), kErrorTextCapacity);
}

void LogWithCode(const CException& e)
{
    Trace(LogLevel::Error, u"%s %s (%lx)", e.source.c_str(), e.description.c_str(), e.code);
}

} // namespace

CException::CException(std::u16string source, std::u16string description, DWORD code)
    : code(code), description(std::move(description)), source(std::move(source))
{
}

CWinException::CWinException(DWORD error, bool log)
{
    code = error != 0 ? error : GetLastError();
    const std::optional<std::u16string> text = SystemText(code);
    if (!text) return;
    source = u"Windows";
    description = FitToBuffer(*text, kWindowsTextCapacity);
    if (log) Trace(LogLevel::Error, u"Windows error (%lx): %s", code, description.c_str());
}

CComException::CComException(HRESULT hr)
{
    code = static_cast<DWORD>(hr);
    Trace(LogLevel::Error, u"_com_error:%lx", code);
    if (code <= static_cast<DWORD>(CO_E_LAST)) {
        if (const std::optional<std::u16string> text = SystemText(code)) {
            source = u"Windows";
            description = FitToBuffer(Format(u"Windows (%lx):%s", code, text->c_str()), kWindowsTextCapacity);
            Trace(LogLevel::Error, u"%s %s", source.c_str(), description.c_str());
            return;
        }
    } else {
        IErrorInfo* raw = nullptr;
        if (GetErrorInfo(0, &raw) == S_OK && raw != nullptr) {
            const _com_error carrier(hr, raw);
            source = carrier.Source();
            description = carrier.Description();
            sqlState = SqlStateOf(carrier.ErrorInfo());
            Trace(LogLevel::Error, u"%s %s", source.c_str(), description.c_str());
            return;
        }
    }
    SetNoErrorInfoTexts(*this);
    LogWithCode(*this);
}

CComException::CComException(const _com_error& e)
{
    code = static_cast<DWORD>(e.Error());
    std::u16string text = e.Description();
    if (!text.empty()) {
        source = e.Source();
        description = std::move(text);
        sqlState = SqlStateOf(e.ErrorInfo());
    } else {
        SetNoErrorInfoTexts(*this);
    }
    LogWithCode(*this);
}

void ThrowIfFailedHr(HRESULT hr)
{
    if (FAILED(hr)) throw CComException(hr);
}

} // namespace qmt
