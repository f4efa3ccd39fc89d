-- The SCRAM benchmark's script (bench/scram/run.sh runs it): a 10 ms timer
-- stands for the host's own work; the longest gap between its ticks while
-- a login runs is what that login cost the host's thread, and the process's
-- CPU time over it the same without the waits a busy machine adds. A PLAIN login is
-- the baseline (the same exchange, no PBKDF2); then SCRAM at 4096 rounds
-- (RFC 7677's count), at the module's cap, and one round over it (refused
-- before any round is spent). Each login ends with the server's 001 or a
-- refusal; each case runs ROUNDS times.
--   login.lua PORT CAP ROUNDS
local port, cap, rounds = tonumber(arg[1]), tonumber(arg[2]), tonumber(arg[3])
local cases = {
  { name = "PLAIN (baseline)", mechanism = "PLAIN", iterations = 4096 },
  { name = "SCRAM, 4096 rounds", mechanism = "SCRAM-SHA-256", iterations = 4096 },
  { name = ("SCRAM, %d rounds (the cap)"):format(cap), mechanism = "SCRAM-SHA-256", iterations = cap },
  { name = ("SCRAM, %d rounds (refused)"):format(cap + 1), mechanism = "SCRAM-SHA-256", iterations = cap + 1 },
}

local longest, last = 0, host.Clock()
timer.Create("work", 0.01, 0, function()
  local now = host.Clock()
  longest = math.max(longest, now - last)
  last = now
end)

local current, round, stalls, cpus, outcome = 0, 0, {}, {}, nil
local cpu_start
local baseline

local function median(list)
  local sorted = { unpack(list) }
  table.sort(sorted)
  return sorted[math.floor((#sorted + 1) / 2)]
end

local function next_login()
  local c = cases[current]
  if c == nil or round == rounds then
    if c ~= nil then
      local m, cpu = median(stalls), median(cpus)
      baseline = baseline or m
      print(("%-34s longest host stall: median %6.1f ms, max %6.1f ms, %5.1fx the baseline; CPU %6.1f ms; %s"):format(
        c.name, m * 1000, math.max(unpack(stalls)) * 1000, m / baseline, cpu * 1000, outcome))
      io.stdout:flush()
    end
    current, round, stalls, cpus = current + 1, 0, {}, {}
    c = cases[current]
    if c == nil then return host.Quit(0) end
  end
  round = round + 1
  irc.SetSASL("bench", "bench-password", c.mechanism)
  -- The timer's gaps count from here: the login is all that runs.
  timer.Simple(0.05, function()
    longest, last, cpu_start = 0, host.Clock(), os.clock()
    irc.Connect("127.0.0.1", port, "i" .. c.iterations, "bench", "scram bench")
  end)
end

local function finished(how)
  stalls[#stalls + 1] = longest
  cpus[#cpus + 1] = os.clock() - cpu_start
  outcome = how
  irc.Close()
  timer.Simple(0.05, next_login)
end

hook.Add("IRC_RawData", "bench", function(line)
  if line:match("^:%S+ 001 ") then finished("logged in") end
end)
hook.Add("IRC_Disconnected", "bench", function(reason) finished(reason) end)

irc.Debug(false)
timer.Simple(1, next_login)
timer.Simple(300, function() print("deadline"); host.Quit(1) end)
