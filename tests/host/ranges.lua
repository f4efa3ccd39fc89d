-- Script numbers that reach the host's natives out of any integer's range
-- (the debug library hands the natives to any script) are refused or
-- clamped, never converted blindly: under UBSan a blind conversion stops
-- the run.
local check = dofile(arg[0]:match("^(.-)[^/]*$") .. "check.lua")

local native
for i = 1, 10 do
  local name, value = debug.getupvalue(host.Quit, i)
  if name == "native" then native = value end
end
check.ok(native ~= nil, "natives reachable")

local bad = { -1, -0.5, 0/0, 1/0, -1/0, 1e300, -1e300, 2^53 + 2, 0.5 }
native.kill_timer(2^32)
for _, v in ipairs(bad) do
  native.kill_timer(v)
  local id = native.set_timer(v, v)
  check.eq(id, nil, "no timer under key " .. tostring(v))
end
local id = native.set_timer(0/0, 1)
check.ok(type(id) == "number", "a bad period is clamped, the timer made")
native.kill_timer(id)
check.eq(host.Stats().timers, 0, "no timer left")
check.ok(not pcall(host.Quit, 0/0), "host.Quit refuses NaN")

-- A huge delay under a valid key is clamped too: the timer is made and
-- does not fall due before one of 50 ms made after it (a delay that wrapped
-- to almost nothing would). Each goes under the key of a script timer, so
-- a firing would run its function.
local timers
for i = 1, 10 do
  local name, value = debug.getupvalue(timer.Exists, i)
  if name == "timers" then timers = value end
end
check.ok(timers ~= nil, "script timers reachable")
local fired = {}
local huge = { 1e300, math.huge, 2^63, 2^32 + 1 }
for i, v in ipairs(huge) do
  timer.Create("huge" .. i, 3600, 1, function() fired[#fired + 1] = tostring(v) end)
  local rec = timers["huge" .. i]
  native.kill_timer(rec.qid)
  rec.qid = native.set_timer(v, rec.key)
  check.ok(type(rec.qid) == "number", "a timer made for a delay of " .. tostring(v))
end
timer.Simple(0.05, function()
  check.eq(table.concat(fired, ","), "", "huge delays that fell due")
  for i = 1, #huge do timer.Remove("huge" .. i) end
  check.eq(host.Stats().timers, 0, "no timer left after the huge delays")
  check.finish()
end)
