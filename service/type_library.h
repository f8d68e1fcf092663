// The type information of IValmorin (type library ValmorinLib): one static
// description of the interface, compiled from its IDL, that answers
// GetIDsOfNames and Invoke and describes the methods to automation hosts.
#pragma once

#include "valmorin/com/typeinfo.h"

// The process's one type information object of IValmorin; a new reference.
HRESULT GetValmorinTypeInfo(ITypeInfo** info);
