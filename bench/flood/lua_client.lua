-- The flood benchmark's baseline: the module's work done in Lua, on the same
-- LuaJIT (quorvane-host --no-module) with LuaSocket. It reads in chunks,
-- cuts CR LF lines, answers PING and CTCP VERSION/TIME, takes nick and
-- trailing text by the module's rules and raises the same events through
-- hook.Call, looked up anew each time as the module does.
--   lua_client.lua PORT RESULT_FILE
-- (Not reproduced: bytes above 0x7F becoming '?' and texts cut at a NUL,
-- which the corpus has neither of, and the pacing of CTCP replies: this
-- client answers every query, a few hundred in a million lines.)
local here = arg[0]:match("^(.-)[^/]*$")
local bench = dofile(here .. "handlers.lua")
local socket = require("socket")
local port, result = tonumber(arg[1]), arg[2]
local find, sub, match, byte, lower = string.find, string.sub, string.match, string.byte, string.lower
local clock = bench.clock

local sock = assert(socket.connect("127.0.0.1", port))
sock:setoption("tcp-nodelay", true)

local function send(line)
  sock:settimeout(10)
  sock:send(line .. "\r\n")
  sock:settimeout(0)
end

local function answer(nick, query)
  if query == "\1VERSION\1" then
    send("NOTICE " .. nick .. " :\1VERSION quorvane, Version 1.2, Build 200, [Windows]\1")
  elseif query == "\1TIME\1" then
    send("NOTICE " .. nick .. " :\1TIME to get a watch...\1")
  end
end

local function process(line)
  if sub(line, 1, 4) == "PING" then send("PONG " .. sub(line, 6)) end
  local s1 = find(line, " ", 1, true)
  local s2 = s1 and find(line, " ", s1 + 1, true)
  hook.Call("IRC_RawData", nil, line)
  if not s2 then return end  -- two tokens or fewer
  local s3 = find(line, " ", s2 + 1, true)
  local command = sub(line, s1 + 1, s2 - 1)
  local target = sub(line, s2 + 1, s3 and s3 - 1 or -1)
  if command == "PRIVMSG" or command == "NOTICE" then
    -- The nick is the prefix up to '!'; the trailing text follows the
    -- first " :" after the prefix, else it is the last word.
    local prefixed = byte(line, 1) == 58
    local nick = ""
    if prefixed then
      local bang = find(line, "!", 2, true)
      nick = sub(line, 2, (bang and bang < s1) and bang - 1 or s1 - 1)
    end
    local from = prefixed and s1 or 1
    local colon = find(line, " :", from, true)
    local trailing = colon and sub(line, colon + 2) or match(line, "[^ ]*$", from)
    if command == "PRIVMSG" then
      answer(nick, trailing)
      hook.Call("IRC_OnChat", nil, nick, target, trailing)
    else
      if #nick == 8 and lower(nick) == "nickserv" then
        hook.Call("IRC_OnNickServ", nil, sub(line, 1, s1 - 1), target, trailing)
      end
      hook.Call("IRC_OnNotice", nil, nick, target, trailing)
    end
  elseif command == "376" then
    hook.Call("IRC_EndOfMOTD", nil)
  elseif command == "432" then
    hook.Call("IRC_ErroneusNick", nil)
  elseif command == "433" then
    hook.Call("IRC_NickInUse", nil)
  end
end

local start, done = {}, false
local chunk_times = {}
function bench.on_go()
  start.rss = bench.rss_kb()
  start.cpu, start.wall = os.clock(), clock()
  chunk_times = {}
  send("BENCHGO")
end

function bench.on_end()
  local cpu, wall = os.clock() - start.cpu, clock() - start.wall
  local _, peak = bench.rss_kb()
  table.sort(chunk_times)
  local n = #chunk_times
  local p99 = n > 0 and chunk_times[math.max(1, math.ceil(n * 0.99))] or 0
  bench.write(result, ("cpu=%.6f wall=%.6f idle_rss=%d peak_rss=%d tick_max=%s tick_p99=%s ticks=%d %s"):format(
    cpu, wall, start.rss, peak, tostring(chunk_times[n] or 0), tostring(p99), n, bench.counts()))
  done = true
end

send("NICK bench")
send("USER bench 0 * :quorvane benchmark")
local carried = ""
local deadline = clock() + 900
while not done and clock() < deadline do
  socket.select({ sock }, nil, 10)
  local data, err, partial = sock:receive(65536)
  local chunk = data or partial
  if chunk and #chunk > 0 then
    -- Timed like a module tick: the lines of one read, one after another.
    local t0 = clock()
    if #carried > 0 then chunk = carried .. chunk end
    local pos = 1
    while true do
      local e = find(chunk, "\r\n", pos, true)
      if not e then break end
      process(sub(chunk, pos, e - 1))
      pos = e + 2
    end
    carried = sub(chunk, pos)
    chunk_times[#chunk_times + 1] = clock() - t0
  elseif err == "closed" then
    break
  end
end
if not done then io.stderr:write("lua client: no end marker\n") end
send("QUIT :Leaving")
sock:close()
host.Quit(done and 0 or 1)
