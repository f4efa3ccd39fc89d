// Setting the module up for an interpreter state and taking it down.
#ifndef QV_ENTRY_LIFECYCLE_H
#define QV_ENTRY_LIFECYCLE_H

#include "host/lua_interface.h"

int Init(lua_State* state);
int Shutdown(lua_State* state);

#endif
