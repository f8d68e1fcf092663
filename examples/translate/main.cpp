// translate <table> <input> [<connection string>]: creates the component by
// its ProgID and looks the input up twice, through the interface's virtual
// table and by name through IDispatch, as a script would.
#include <valmorin/valmorin.h>

#include <cstdio>
#include <string>

namespace {

// The arguments and answers of this example are ASCII or UTF-8 text; its
// own conversions keep it free of anything but the public header.
std::u16string Utf16(const char* utf8)
{
    std::u16string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8); *p;) {
        char32_t c = *p++;
        const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        c &= extra == 3 ? 0x07 : extra == 2 ? 0x0F : extra == 1 ? 0x1F : 0x7F;
        for (int i = 0; i < extra && (*p & 0xC0) == 0x80; ++i) c = (c << 6) | (*p++ & 0x3F);
        if (c > 0xFFFF) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            c = 0xDC00 + ((c - 0x10000) & 0x3FF);
        }
        out += static_cast<char16_t>(c);
    }
    return out;
}

std::string Utf8(std::u16string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += static_cast<char>((extra == 1 ? 0xC0 : extra == 2 ? 0xE0 : 0xF0) | (c >> (6 * extra)));
        for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) out += static_cast<char>(0x80 | ((c >> shift) & 0x3F));
    }
    return out;
}

int Fail(const char* what, HRESULT hr)
{
    std::fprintf(stderr, "translate: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return 1;
}

HRESULT ThroughDispatch(IValmorin& valmorin, const std::u16string& table, const std::u16string& input,
                        std::u16string& answer)
{
    DISPID id = DISPID_UNKNOWN;
    std::u16string name = u"translate";
    LPOLESTR names[] = {name.data()};
    if (const HRESULT hr = valmorin.GetIDsOfNames(GUID_NULL, names, 1, 0, &id); FAILED(hr)) return hr;
    CComVariant arguments[2] = {CComVariant(input), CComVariant(table)}; // last argument first
    DISPPARAMS params{arguments, nullptr, 2, 0};
    CComVariant result;
    const HRESULT hr = valmorin.Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    if (SUCCEEDED(hr) && result.vt == VT_BSTR) answer = CComBSTR(result.bstrVal).view();
    return hr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: translate <table> <input> [<connection string>]\n");
        return 64;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CLSID clsid;
    if (const HRESULT hr = CLSIDFromProgID(kValmorinProgId, &clsid); FAILED(hr)) return Fail("CLSIDFromProgID", hr);
    CComPtr<IValmorin> valmorin;
    if (const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IValmorin::iid,
                                            reinterpret_cast<void**>(&valmorin));
        FAILED(hr))
        return Fail("CoCreateInstance", hr);
    if (argc == 4) {
        if (const HRESULT hr = valmorin->Open(CComBSTR(Utf16(argv[3])).get()); FAILED(hr)) return Fail("Open", hr);
    }

    const std::u16string table = Utf16(argv[1]), input = Utf16(argv[2]);
    CComBSTR viaVtable;
    if (const HRESULT hr = valmorin->translate(CComBSTR(table).get(), CComBSTR(input).get(), &viaVtable); FAILED(hr))
        return Fail("translate", hr);
    std::u16string viaDispatch;
    if (const HRESULT hr = ThroughDispatch(*valmorin.get(), table, input, viaDispatch); FAILED(hr))
        return Fail("IDispatch::Invoke", hr);
    std::printf("vtable:   %s\nIDispatch: %s\n", Utf8(viaVtable.view()).c_str(), Utf8(viaDispatch).c_str());
    valmorin.Release();
    CoFreeUnusedLibraries();
    CoUninitialize();
    return 0;
}
