-- Our own Lua, as scripts/test lints it (luacheck, from the top folder):
-- the configuration script authors get, and what some of our files are
-- besides scripts.
local shipped = assert(loadfile("types/quorvane.luacheckrc"))
setfenv(shipped, getfenv(1))()

-- The host's prelude makes the globals scripts use.
files["quorvane-host/prelude.lua"] = { globals = { "hook", "timer", "host" } }
-- The host's tests run against a probe module, which makes `probe`; one
-- replaces `hook` itself, as a script may.
files["tests/host"] = { read_globals = { "probe" } }
files["tests/host/hooks.lua"] = { globals = { "hook" } }
-- The width our C++ keeps to as well.
max_line_length = 160
-- Declarations for the editor, never run.
exclude_files = { "types/irc.lua" }
