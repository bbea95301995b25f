#pragma once
#include <basalt/ustring.h>

namespace basalt {

// Single registry values, read and written by key path. Reads answer false
// when the key or value is missing or of another type; writes create the key
// and answer false when the system refuses. Nothing here throws: the callers
// keep caches, whose absence is a normal state.
BASALT_API bool RegGetValue(HKEY root, const wchar_t* subkey, const wchar_t* name, ustring& value);
BASALT_API bool RegGetValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD& value);
BASALT_API bool RegWriteValue(HKEY root, const wchar_t* subkey, const wchar_t* name, const wchar_t* value);
BASALT_API bool RegWriteValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD value);

}  // namespace basalt
