-- luacheck's view of what a script running with the quorvane module may
-- use: LuaJIT's own globals, the module's `irc` table and the host's
-- `hook`, `timer` and `host`. Any other global a script reads or sets, or a
-- field of these it names that they do not have (a typo such as
-- irc.SendMesage), is a warning.
--
--   luacheck --config /path/to/quorvane/types/quorvane.luacheckrc myscript.lua
--
-- A host of your own adds its globals with --globals NAME (or
-- --read-globals), a config of your own with stds.quorvane as here.

local function fields(names, writable)
  local t = {}
  for _, name in ipairs(names) do t[name] = { read_only = writable == nil or not writable[name] } end
  return { fields = t }
end

stds.quorvane = {
  read_globals = {
    -- The module's functions; scripts call them, never replace them.
    irc = fields {
      "Connect", "Close", "SendMessage", "Join", "Part", "NickServ", "SendRaw", "Debug", "GetVersion",
      "SetPingTimeout", "SetPassword", "SetSASL", "SetUTF8", "SetClientCert",
      "GetNick", "GetChannels", "GetUsers", "GetUser", "GetStatus", "GetTopic", "ISupport", "FoldCase",
    },
    -- The module raises every event through hook.Call, which a script may
    -- put a function of its own in place of.
    hook = fields({ "Add", "Remove", "Call", "GetTable" }, { Call = true }),
    timer = fields { "Simple", "Create", "Remove", "Exists" },
    host = fields { "Quit", "CloseModule", "OpenModule", "Stats", "ResetTickStats", "Clock" },
  },
}

std = "luajit+quorvane"
