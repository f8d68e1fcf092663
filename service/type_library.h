// The type information of IValmorin (type library ValmorinLib 1.3): one
// static description of the interface that answers GetIDsOfNames and Invoke
// and describes the methods to automation hosts.
#pragma once

#include "platform/com/typeinfo.h"

inline constexpr WORD kTypeLibraryMajor = 1;
inline constexpr WORD kTypeLibraryMinor = 3;

// The process's one type information object of IValmorin; a new reference.
HRESULT GetValmorinTypeInfo(ITypeInfo** info);
