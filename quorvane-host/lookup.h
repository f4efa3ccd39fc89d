// FindGlobal and FindMember as the module uses them: a raw read where a
// raw read means the same as an indexing (a table whose key is present, or
// that has no metatable to consult), else a protected lua_getfield.
#ifndef QV_HOST_LOOKUP_H
#define QV_HOST_LOOKUP_H

#include "handles.h"

#include <lua.hpp>

namespace qvhost {

ILuaObject* LookupGlobal(lua_State* L, const char* name);

// Indexing a value that is no table (a script without `hook`, say) fails
// quietly into the nil handle; calling that then reports the error.
ILuaObject* LookupMember(lua_State* L, const LuaObject* object, const char* name);

}  // namespace qvhost

#endif
