-- The bot side of the soak (tests/soak/soak.py): runs a bot script (the
-- example bot) unchanged, and answers the soak's server beside it. Lines
-- from the sender "drv" that start "!soak" are the server's questions; the
-- bot's own commands (!ping) are the bot's to answer.
--   soak.lua BOT_SCRIPT [BOT ARGUMENTS...]
local bot = arg[1]
local lines, told, registered = 0, 0, 0

hook.Add("IRC_RawData", "soak.count", function() lines = lines + 1 end)
hook.Add("IRC_Disconnected", "soak.count", function() told = told + 1 end)
hook.Add("IRC_OnRegistered", "soak.count", function() registered = registered + 1 end)

local function answer(text)
  -- Raw, so that a long member list stays one line.
  irc.SendRaw("PRIVMSG drv :" .. text)
end

local questions = {}

-- The bot's state as the module keeps it: "state NICK #a,#b #a=@x,y #b=...".
function questions.soakstate()
  local channels = irc.GetChannels() or ""
  local parts = { "state", irc.GetNick() or "-", (channels:gsub(" ", ",")) }
  for channel in channels:gmatch("%S+") do
    parts[#parts + 1] = channel .. "=" .. (irc.GetUsers(channel) or "?"):gsub(" ", ",")
  end
  answer(table.concat(parts, " "))
end

-- The host's figures after a full collection, so that garbage not yet
-- collected is not counted as growth, and without the JIT's compiled
-- traces, which are Lua heap too and come and go with what ran lately.
function questions.soakstats()
  if jit then jit.flush() end
  collectgarbage("collect")
  collectgarbage("collect")
  local s = host.Stats()
  answer(("stats lines=%d told=%d registered=%d lua_kb=%.1f handles=%d pool=%d registry=%d timers=%d top=%d")
    :format(lines, told, registered, collectgarbage("count"), s.handles, s.handle_pool, s.registry, s.timers, s.top))
end

-- Lines that wait in the send queue (paced) when the server stops reading.
function questions.soakspam(count)
  for i = 1, tonumber(count) or 0 do
    if irc.SendRaw(("PRIVMSG drv :spam %d %s"):format(i, ("x"):rep(180))) then break end
  end
end

-- gmod_close now (once this event's call returns), gmod_open after `seconds`.
function questions.soakreload(seconds)
  answer("reloading")
  host.CloseModule()
  timer.Simple(tonumber(seconds) or 0.3, function() host.OpenModule() end)
end

hook.Add("IRC_OnChat", "soak.questions", function(from, _, text)
  if from ~= "drv" then return end
  local name, rest = text:match("^!(soak%w+)%s*(.*)$")
  local fn = name and questions[name]
  if fn then fn(rest) end
end)

-- The bot sees its own arguments, as if it had been started alone.
local args = { [0] = bot }
for i = 2, #arg do args[i - 1] = arg[i] end
rawset(_G, "arg", args)
dofile(bot)
