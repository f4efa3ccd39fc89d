-- The script authors' references agree with the module: the functions the
-- module puts in `irc`, those types/irc.lua declares and those README's
-- table lists are the same; so are the events the two documents name. The
-- luacheck configuration knows the module's functions, and no others.
--   quorvane-host --module quorvane.so reference.lua PROJECT_DIR
local check = dofile(arg[0]:match("^(.-)[^/]*$") .. "host/check.lua")
local root = arg[1]

local function read(path)
  local f = assert(io.open(root .. "/" .. path, "rb"))
  local text = f:read("*a")
  f:close()
  return text
end

local function set_of(text, pattern)
  local s = {}
  for name in text:gmatch(pattern) do s[name] = true end
  return s
end

local function same(a, b, what)
  for name in pairs(a) do check.ok(b[name], what .. ": " .. name .. " missing from the second") end
  for name in pairs(b) do check.ok(a[name], what .. ": " .. name .. " missing from the first") end
end

local readme, types = read("README.md"), read("types/irc.lua")
-- README's tables: the one of functions, then the one of events.
local functions_table = readme:match("\n| Function | Does |\n(.-)\n\n")
local events_table = readme:match("\n| Event | Arguments |\n(.-)\n\n")
check.ok(functions_table and events_table, "README's tables found")

local live = {}
for name, value in pairs(irc) do
  if type(value) == "function" then live[name] = true end
end
same(live, set_of(types, "\nfunction irc%.(%w+)%("), "the module's irc table and types/irc.lua")
same(live, set_of(functions_table or "", "`irc%.(%w+)%("), "the module's irc table and README")
same(set_of(types, '\n%-%-%-| "(IRC_%w+)"'), set_of(events_table or "", "`(IRC_%w+)`"), "events in types/irc.lua and README")
-- The configuration runs in an environment of its own, as luacheck runs it.
local config = { stds = {} }
setfenv(assert(loadfile(root .. "/types/quorvane.luacheckrc")), setmetatable(config, { __index = _G }))()
local linted = config.stds.quorvane and config.stds.quorvane.read_globals.irc.fields or {}
-- Both ways: a function it knows that the module lacks passes the linter
-- and fails when the script runs.
same(live, linted, "the module's irc table and types/quorvane.luacheckrc")
check.finish()
