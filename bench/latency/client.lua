-- The latency benchmark's client, in quorvane-host: the module, or the same
-- work in Lua with LuaSocket (quorvane-host --no-module), answering as soon
-- as its socket is readable.
--   client.lua module|lua PORT RESULT_FILE IDLE_SECONDS
-- Writes one line of key=value results: latencies from the server's write
-- to the chat handler (p50, p99, max, in ms) and how often the host's loop
-- dispatched a callback while the link was idle.
local mode, port, result, idle_s = arg[1], tonumber(arg[2]), arg[3], tonumber(arg[4])
local clock = host.Clock
local latencies = {}
local done = false

local function finish()
  table.sort(latencies)
  local n = #latencies
  local function at(q) return n > 0 and latencies[math.max(1, math.ceil(n * q))] * 1e3 or 0 / 0 end
  local f = assert(io.open(result, "a"))
  f:write(("%s lines=%d p50=%.3f p99=%.3f max=%.3f %s\n"):format(mode, n, at(0.5), at(0.99), at(1), _G.idle_text or ""))
  f:close()
  done = true
  if mode == "module" then
    timer.Simple(0.01, function()
      irc.Close()
      host.Quit(0)
    end)
  end
end

hook.Add("IRC_OnChat", "latency", function(nick, _, text)
  local now = clock()
  if nick == "bench.end" then return finish() end
  latencies[#latencies + 1] = now - tonumber(text) * 1e-9
end)

-- Registered: the link idles for a while, then the server is told to go.
local function on_welcome(go)
  local before = host.Stats().dispatches
  local t0 = clock()
  timer.Create("latency.idle", idle_s, 1, function()
    local rate = (host.Stats().dispatches - before - 1) / (clock() - t0)
    _G.idle_text = ("idle_dispatches_per_s=%.1f"):format(rate)
    go()
  end)
end

if mode == "module" then
  hook.Add("IRC_EndOfMOTD", "latency", function()
    on_welcome(function() irc.SendRaw("BENCHGO") end)
  end)
  assert(irc.Connect("127.0.0.1", port, "bench", "bench", "latency") == nil)
  return
end

-- The pure-Lua client: blocks in select on its socket, so each line is
-- handled as it comes; host timers are not pumped meanwhile, so the idle
-- figure is not measured here.
local socket = require("socket")
local find, sub = string.find, string.sub
local sock = assert(socket.connect("127.0.0.1", port))
sock:setoption("tcp-nodelay", true)
local function send(line) sock:send(line .. "\r\n") end
send("NICK bench")
send("USER bench 0 * :latency")
local function process(line)
  if sub(line, 1, 4) == "PING" then return send("PONG " .. sub(line, 6)) end
  local s1 = find(line, " ", 1, true)
  local s2 = s1 and find(line, " ", s1 + 1, true)
  if not s2 then return end
  local command = sub(line, s1 + 1, s2 - 1)
  if command == "376" then
    _G.idle_text = "idle_dispatches_per_s=nan"
    return send("BENCHGO")
  end
  if command ~= "PRIVMSG" then return end
  local bang = find(line, "!", 2, true)
  local nick = sub(line, 2, (bang and bang < s1) and bang - 1 or s1 - 1)
  local colon = find(line, " :", s2, true)
  hook.Call("IRC_OnChat", nil, nick, sub(line, s2 + 1, (colon or 0) - 1), colon and sub(line, colon + 2) or "")
end
local carried = ""
local deadline = clock() + 900
sock:settimeout(0)
while not done and clock() < deadline do
  socket.select({ sock }, nil, 10)
  local data, err, partial = sock:receive(65536)
  local chunk = data or partial
  if chunk and #chunk > 0 then
    chunk = carried .. chunk
    local pos = 1
    while true do
      local e = find(chunk, "\r\n", pos, true)
      if not e then break end
      process(sub(chunk, pos, e - 1))
      pos = e + 2
    end
    carried = sub(chunk, pos)
  elseif err == "closed" then
    break
  end
end
sock:close()
host.Quit(done and 0 or 1)
