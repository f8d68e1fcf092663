// Calls an automation object by method name, the way scripts do.
#pragma once

#include "valmorin/com/unknown.h"

#include <optional>
#include <string>
#include <vector>

struct CallOutcome {
    HRESULT hr = S_OK;
    std::optional<std::u16string> result; // what the method wrote, as text
    std::u16string method;                // set when the call failed: the method's own spelling, or as given
    std::u16string source;
    std::u16string description;
};

struct MethodHelp {
    DISPID id = DISPID_UNKNOWN;
    std::u16string name;
    std::vector<std::u16string> inputs;
    std::u16string result; // empty for a method without one
    std::u16string help;   // the type information's text; may be empty
};

// The outcome of a call whose method the object does not know.
CallOutcome UnmadeCall(HRESULT hr, const std::u16string& method);

// What a method wrote, as text: a text as it is, a number in decimal;
// false for a method without a result.
bool ResultText(const VARIANT& result, std::u16string& text);

// An argument that is a NULL BSTR rather than a text.
using Argument = std::optional<std::u16string>;

class DispatchClient {
public:
    explicit DispatchClient(CComPtr<IDispatch> object) : m_object(std::move(object)) {}

    // hr is DISP_E_UNKNOWNNAME or DISP_E_BADPARAMCOUNT for a call that could
    // not be made; the method's HRESULT otherwise.
    CallOutcome Call(const std::u16string& method, const std::vector<Argument>& arguments) const;
    // The two steps of Call, for a caller that calls one method many times:
    // the method's id, and the call with the arguments already VARIANTs
    // (last argument first), leaving what the method wrote in result.
    HRESULT IdOf(const std::u16string& method, DISPID& id) const;
    CallOutcome Invoke(DISPID id, const std::u16string& method, std::vector<CComVariant>& arguments,
                       CComVariant& result) const;
    std::vector<MethodHelp> Describe() const;
    // The method of that name, found as calls find it (whatever its case).
    std::optional<MethodHelp> Describe(const std::u16string& method) const;

private:
    std::optional<std::u16string> CanonicalName(DISPID id) const;

    CComPtr<IDispatch> m_object;
};
