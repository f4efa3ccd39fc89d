# Turns the Lua prelude into a C++ source at build time, so the host binary
# carries it and needs no file beside it at run time.
file(READ "${IN}" text)
string(FIND "${text}" ")qvprelude\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw-string terminator")
endif()
file(WRITE "${OUT}.tmp" "// Generated from prelude.lua; do not edit.\n#include \"prelude.h\"\n\nnamespace qvhost {\nconst char kPrelude[] = R\"qvprelude(${text})qvprelude\";\nconst unsigned long kPreludeSize = sizeof kPrelude - 1;\n}  // namespace qvhost\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
