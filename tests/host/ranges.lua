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

check.finish()
