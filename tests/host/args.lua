-- `arg`, script arguments, and how script values reach the module.
local check = dofile(arg[0]:match("^(.-)[^/]*$") .. "check.lua")

check.ok(arg[0]:match("args%.lua$"), "arg[0] is the script")
check.eq(arg[1], "one", "arg[1]")
check.eq(arg[2], "two", "arg[2]")
check.eq(arg[3], nil, "no arg[3]")
check.eq(arg[-2], "--module", "options before the script at negative indices")
check.ok(arg[-1]:match("qv_probe%.so$"), "arg[-1] is the module path")
check.ok(arg[-3]:match("quorvane%-host[^/]*$"), "arg[-3] is the program")
local a, b = ...
check.eq(a .. b, "onetwo", "arguments as ...")

-- text/int/flag as the module reads them, positions 1 to 4
check.eq(probe.Describe(), "<none>/0/0|<none>/0/0|<none>/0/0|<none>/0/0", "missing arguments")
check.eq(probe.Describe("x", 42, true, nil), "x/0/1|42/42/1|<none>/0/1|<none>/0/0", "string, int, bool, nil")
check.eq(probe.Describe(7.5, "12", false, {}), "7.5/7/1|12/12/1|<none>/0/0|<none>/0/1", "float, numeric string, false, table")
check.eq(probe.Describe(-3.9, 1e100, -1e100, 0/0), "-3.9/-3/1|1e+100/2147483647/1|-1e+100/-2147483648/1|" .. tostring(0/0) .. "/0/1",
  "ints truncate and clamp; numbers as Lua prints them")
check.eq(probe.Describe("a\0b"):match("^[^/]*"), "a", "text is cut at a NUL")
-- The number converted for ArgText stays valid for the whole call.
check.eq(probe.Describe(6667, 6667), "6667/6667/1|6667/6667/1|<none>/0/0|<none>/0/0", "repeated number conversion")

-- Results: exactly what was pushed, never more than claimed or pushed.
check.eq(select("#", probe.Two()), 2, "two results")
check.eq(select(2, probe.Two()), "two", "in push order")
check.eq(select("#", probe.Lie()), 0, "claimed results that were never pushed are not invented")
check.eq(select("#", probe.Lie(1, 2, 3)), 0, "arguments are not handed back as results")
check.eq(probe.BadCall(), "false", "calling with nothing pushed is refused")

-- A C++ exception from a module function is stopped at the boundary.
local ok, r = pcall(probe.Throw)
check.ok(ok and r == nil, "exception contained, call returns nothing")

-- From a coroutine, a module function reads and pushes on that coroutine.
local co = coroutine.create(function(x)
  local first = probe.Describe(x, 1)
  local y = coroutine.yield(first)
  return probe.Describe(y), select("#", probe.Two())
end)
local ok1, r1 = coroutine.resume(co, "in-co")
check.ok(ok1, "coroutine ran")
check.eq(r1, "in-co/0/1|1/1/1|<none>/0/0|<none>/0/0", "arguments from the coroutine's stack")
local mainside = probe.Describe("main")
check.eq(mainside:match("^[^|]*"), "main/0/1", "main state between resumes")
local ok2, r2, n2 = coroutine.resume(co, "resumed")
check.ok(ok2, "coroutine resumed")
check.eq(r2:match("^[^|]*"), "resumed/0/1", "after a yield")
check.eq(n2, 2, "results pushed on the coroutine")

check.finish()
