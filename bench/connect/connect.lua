-- The connect benchmark's script (bench/connect/run.sh runs it): a 10 ms
-- timer stands for the host's own work; the longest gap between its ticks
-- is how long the host was held. First the gaps with nothing to do (the
-- baseline), then one irc.Connect per target until it is told how it went.
--   connect.lua NAME SERVER PORT TLS [NAME SERVER PORT TLS ...]
local targets = {}
for i = 1, #arg, 4 do
  targets[#targets + 1] = { name = arg[i], server = arg[i + 1], port = tonumber(arg[i + 2]), tls = arg[i + 3] == "tls" }
end

local longest, last = 0, host.Clock()
timer.Create("work", 0.01, 0, function()
  local now = host.Clock()
  longest = math.max(longest, now - last)
  last = now
end)

local current, started, welcomed

local function report(name, call_ms, outcome, took)
  print(("%-16s Connect returned in %7.2f ms  longest host stall %7.2f ms  %-45s after %6.2f s%s"):format(
    name, call_ms, longest * 1000, outcome, took, welcomed and (" (welcomed, 001, after %.2f s)"):format(welcomed) or ""))
  io.stdout:flush()
end

-- A server that lets us register says so with 001.
hook.Add("IRC_RawData", "bench", function(line)
  if line:match("^:%S+ 001 ") then welcomed = host.Clock() - started end
end)

local function next_target()
  current = (current or 0) + 1
  local t = targets[current]
  if not t then return host.Quit(0) end
  longest, last, welcomed = 0, host.Clock(), nil
  local before = host.Clock()
  local err = irc.Connect(t.server, t.port, "bench", "bench", "connect bench", t.tls)
  started = host.Clock()
  t.call_ms = (started - before) * 1000
  if err then
    report(t.name, t.call_ms, err, 0)
    timer.Simple(0, next_target)
  end
end

hook.Add("IRC_Disconnected", "bench", function(reason)
  local t = targets[current]
  report(t.name, t.call_ms, reason, host.Clock() - started)
  irc.Close()
  timer.Simple(0, next_target)
end)

irc.Debug(false)
-- Two seconds of nothing: what the host's timer does on this machine now.
timer.Simple(2, function()
  report("baseline", 0, "(no connect)", 2)
  next_target()
end)
timer.Simple(90, function() print("deadline"); host.Quit(1) end)
