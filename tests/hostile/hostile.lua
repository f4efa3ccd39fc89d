-- The script side of the hostile-server tests: a bot that counts what
-- reaches it, answers marker lines on stdout and obeys commands from the
-- test's server (sender "drv"). Lines from the sender "echo" are printed
-- as the events carried them. Everything meant for the test starts "qv:".
--   hostile.lua PORT
local port = tonumber(arg[1])
local raw, chats, notices = 0, 0, 0

local function out(...)
  local parts = { ... }
  for i = 1, select("#", ...) do parts[i] = tostring(parts[i]) end
  print("qv:" .. table.concat(parts, " "))
end

local function connect(p)
  return irc.Connect("127.0.0.1", p, "qv", "qv", "hostile")
end

local function reconnect()
  irc.Close()
  out("reconnect", (connect(port)))
end

hook.Add("IRC_RawData", "count", function() raw = raw + 1 end)
hook.Add("IRC_OnNotice", "count", function(nick, target, text)
  notices = notices + 1
  if nick == "echo" then out("notice", nick .. "|" .. target .. "|" .. text) end
end)
hook.Add("IRC_OnNickServ", "echo", function(prefix, target, text)
  out("nickserv", prefix .. "|" .. target .. "|" .. text)
end)
hook.Add("IRC_Disconnected", "back", function(reason)
  out("disconnected", reason)
  timer.Simple(0.1, reconnect)
end)

local events = { "IRC_RawData", "IRC_OnChat", "IRC_OnNotice", "IRC_OnNickServ", "IRC_EndOfMOTD",
                 "IRC_ErroneusNick", "IRC_NickInUse", "IRC_Disconnected" }

local commands = {}

function commands.marker(n)
  out("ack", n, "raw=" .. raw, "chat=" .. chats, "notice=" .. notices)
  raw, chats, notices = 0, 0, 0
end

function commands.debug(flag) irc.Debug(flag == "on") end

-- A handler that fails on every event, behind the ones above.
function commands.raise(flag)
  for _, e in ipairs(events) do
    if flag == "on" then
      hook.Add(e, "zz-raise", function() error("hostile handler") end)
    else
      hook.Remove(e, "zz-raise")
    end
  end
end

-- Leaves for another port, and comes back after `seconds` ("-": only when
-- the visit fails, through IRC_Disconnected).
function commands.visit(p, seconds)
  timer.Simple(0, function()
    irc.Close()
    out("visit", (connect(tonumber(p))))
    if seconds ~= "-" then timer.Simple(tonumber(seconds), reconnect) end
  end)
end

-- Connects to another port and closes, `n` times, then comes back.
function commands.cycle(n, p)
  timer.Simple(0, function()
    irc.Close()
    local fails = 0
    for _ = 1, tonumber(n) do
      if connect(tonumber(p)) ~= nil then fails = fails + 1 end
      irc.Close()
    end
    out("cycled", n, "fails=" .. fails)
    reconnect()
  end)
end

hook.Add("IRC_OnChat", "driver", function(nick, target, text)
  chats = chats + 1
  if nick == "echo" then out("chat", nick .. "|" .. target .. "|" .. text) end
  if nick ~= "drv" then return end
  local words = {}
  for w in text:gmatch("%S+") do words[#words + 1] = w end
  local command = commands[words[1] or ""]
  if command then command(select(2, unpack(words))) end
end)

irc.Debug(false)
out("connect", (connect(port)))
