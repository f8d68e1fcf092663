// The Connection object and what the Recordset object needs of it.
#pragma once

#include "platform/ado/ado.h"
#include "platform/com/dispatch_stub.h"
#include "platform/ado/provider.h"

namespace valmorin::ado {

class ErrorList;

// Reached by QueryInterface from the IDispatch a recordset is given as its
// active connection.
struct IConnectionInternal : IUnknown {
    static constexpr IID iid = MakeGuid("6A1C0B5E-3D0A-4E7F-9B52-2F7A5C1E9D40");
    // Null when the connection is closed.
    virtual Session* ActiveSession() = 0;
    // Records a failure in the Errors list and the thread's error info;
    // returns the first error's number.
    virtual HRESULT Fail(std::vector<ProviderError> errors) = 0;
    virtual void ClearErrors() = 0;
    // Runs the text with each ? bound to the next value; rows affected as
    // Execute counts them.
    virtual HRESULT ExecuteWith(std::u16string_view sql, std::span<const BoundValue> values,
                                VARIANT* recordsAffected) = 0;

protected:
    ~IConnectionInternal() = default;
};

// Reached by QueryInterface from the IDispatch a recordset is given as its
// source, when that is a command.
struct ICommandInternal : IUnknown {
    static constexpr IID iid = MakeGuid("0B7D3E21-6C4F-4A8E-9D15-7E2C9A4B3F61");
    virtual std::u16string_view Text() const = 0;
    // Valid until the command's values change.
    virtual std::span<const BoundValue> Values() const = 0;

protected:
    ~ICommandInternal() = default;
};

// Fills the thread's error info from the first error and returns its number.
HRESULT ReportProviderErrors(REFIID iid, const std::vector<ProviderError>& errors);

} // namespace valmorin::ado
