-- The flood benchmark through the real module, in quorvane-host.
--   module_client.lua PORT DEBUG(on|off) RESULT_FILE [idle|tls|utf8]
-- Writes one line of key=value results to RESULT_FILE when the server's
-- end marker arrives. With "idle" it registers, writes "connected" and
-- stays connected until stopped.
local here = arg[0]:match("^(.-)[^/]*$")
local bench = dofile(here .. "handlers.lua")
local port, debug_on, result, idle = tonumber(arg[1]), arg[2] == "on", arg[3], arg[4] == "idle"
-- The benchmark's server has a certificate made for the run: TLS unverified.
local tls = arg[4] == "tls" and "insecure" or nil

local start = {}
function bench.on_go()
  if idle then return bench.write(result, "connected") end
  start.rss = bench.rss_kb()
  if host.ResetTickStats then host.ResetTickStats() end
  start.cpu, start.wall = os.clock(), bench.clock()
  irc.SendRaw("BENCHGO")
end

function bench.on_end()
  local cpu, wall = os.clock() - start.cpu, bench.clock() - start.wall
  local now, peak = bench.rss_kb()
  local st = host.Stats()
  bench.write(result, ("cpu=%.6f wall=%.6f idle_rss=%d peak_rss=%d end_rss=%d tick_max=%s tick_p99=%s ticks=%s %s"):format(
    cpu, wall, start.rss, peak, now, tostring(st.tick_max or "nan"), tostring(st.tick_p99 or "nan"),
    tostring(st.ticks or "nan"), bench.counts()))
  irc.Close()
  host.Quit(0)
end

irc.Debug(debug_on)
if arg[4] == "utf8" then irc.SetUTF8(true) end
local err = irc.Connect("127.0.0.1", port, "bench", "bench", "quorvane benchmark", tls)
if err ~= nil then error("connect: " .. tostring(err)) end
timer.Create("bench.deadline", 900, 1, function()
  io.stderr:write("module client: no end marker within 900 s\n")
  host.Quit(1)
end)
