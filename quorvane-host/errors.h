// How failures in scripts and in module code are shown: one "[ERROR]" block
// on stderr each, after whatever was printed before it.
#ifndef QV_HOST_ERRORS_H
#define QV_HOST_ERRORS_H

#include <lua.hpp>

namespace qvhost {

// Message handler for lua_pcall: the error text with a stack traceback.
int Traceback(lua_State* L);

// Prints the error value at `index` of a failed protected call.
void ReportError(lua_State* L, int index);

// A C++ exception that module code let out, stopped at the boundary.
void ReportException(const char* where, const char* what);

}  // namespace qvhost

#endif
