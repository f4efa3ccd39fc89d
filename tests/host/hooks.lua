-- hook library semantics, and events raised the module's way.
local check = dofile(arg[0]:match("^(.-)[^/]*$") .. "check.lua")

local seen = {}
hook.Add("E", "first", function(a, b) seen[#seen + 1] = "first:" .. tostring(a) .. tostring(b) end)
hook.Add("E", "second", function(a) seen[#seen + 1] = "second"; if a == "stop" then return "stopped", 2 end end)
hook.Add("E", "third", function() seen[#seen + 1] = "third" end)

-- Handlers run in the order added; the first non-nil result ends the chain.
check.eq(hook.Call("E", nil, "x", "y"), nil, "no handler returned")
check.eq(table.concat(seen, ","), "first:xy,second,third", "all handlers in order")
seen = {}
local r1, r2 = hook.Call("E", nil, "stop")
check.eq(r1, "stopped", "first result")
check.eq(r2, 2, "second result")
check.eq(table.concat(seen, ","), "first:stopnil,second", "chain stopped")

-- Re-adding an id replaces the handler in place; Remove drops it.
seen = {}
hook.Add("E", "first", function() seen[#seen + 1] = "first'" end)
hook.Remove("E", "second")
hook.Remove("E", "no such id")
hook.Remove("no such event", "x")
hook.Call("E", nil)
check.eq(table.concat(seen, ","), "first',third", "replace and remove")
check.eq(type(hook.GetTable().E.third), "function", "GetTable maps event to id to function")
check.eq(hook.GetTable().E.second, nil, "removed handler gone from GetTable")

-- A gamemode table's method runs when no hook returned anything.
local gm = { G = function(_, v) return "gm:" .. v end }
check.eq(hook.Call("G", gm, "v"), "gm:v", "gamemode method")
hook.Add("G", "h", function() return "hook" end)
check.eq(hook.Call("G", gm, "v"), "hook", "hook before gamemode")
check.eq(hook.Call("nothing", nil), nil, "unknown event")

-- Changing hooks from inside a handler takes effect from the next call.
seen = {}
hook.Add("M", "a", function()
  seen[#seen + 1] = "a"
  hook.Remove("M", "a")
  hook.Add("M", "late", function() seen[#seen + 1] = "late" end)
end)
hook.Add("M", "b", function() seen[#seen + 1] = "b" end)
hook.Call("M", nil)
hook.Call("M", nil)
check.eq(table.concat(seen, ","), "a,b,b,late", "changes apply to the next call")

check.ok(not pcall(hook.Add, "E", "x", 5), "Add rejects a non-function")
check.ok(not pcall(hook.Add, "E", nil, print), "Add rejects a nil id")

-- Events raised by the module reach hook.Call as (event, nil, args...).
local got
hook.Add("IRC_Test", "args", function(...) got = { n = select("#", ...), ... } end)
check.eq(probe.Raise("IRC_Test", 1, "alice", "hi"), "1", "raise succeeded")
check.eq(got.n, 2, "handler gets the event's arguments")
check.eq(got[1] .. "/" .. got[2], "alice/hi", "argument values")
probe.Raise("IRC_Test", 1)
check.eq(got.n, 0, "argument-less event")

-- A replaced hook.Call gets the very next event, nil second argument included.
local real = hook.Call
local calls = {}
hook.Call = function(...) calls[#calls + 1] = { n = select("#", ...), ... } end
probe.Raise("IRC_Swap", 1, "a")
hook.Call = real
check.eq(#calls, 1, "replacement called")
check.eq(calls[1].n, 3, "event, nil, one argument")
check.eq(calls[1][1], "IRC_Swap", "event name first")
check.eq(calls[1][2], nil, "nil second")

-- Also in the middle of one module call: lookups are made anew, never
-- served from an earlier event's value.
local swapped = {}
hook.Add("IRC_Mid", "swapper", function()
  hook.Call = function(event, _, a) swapped[#swapped + 1] = event .. ":" .. a end
end)
probe.Raise("IRC_Mid", 3, "v")
hook.Call = real
check.eq(table.concat(swapped, ","), "IRC_Mid:v,IRC_Mid:v", "events after the swap reach the new hook.Call")
hook.Remove("IRC_Mid", "swapper")
-- The same for the whole hook table, and back again within the call.
local moved = {}
local own = { Call = function(_, _, a) moved[#moved + 1] = "own:" .. a end }
hook.Add("IRC_Move", "mover", function(a)
  moved[#moved + 1] = "real:" .. a
  local saved_hook = hook
  hook = own
  own.Call = function(_, _, b)
    own.Call = function(_, _, c) moved[#moved + 1] = "own2:" .. c end
    hook = saved_hook
    moved[#moved + 1] = "own:" .. b
  end
end)
probe.Raise("IRC_Move", 4, "v")
hook.Remove("IRC_Move", "mover")
check.eq(table.concat(moved, ","), "real:v,own:v,real:v,own:v", "a replaced hook table, then the old one again")

-- Failures in the script side never stop the module's next event.
hook.Add("Bad", "err", function() error("handler failed") end)
check.eq(probe.Raise("Bad", 3), "0", "erroring handler reported as a failed call, each time")
check.eq(probe.Raise("IRC_Test", 1, "again"), "1", "events go on after handler errors")
hook.Add("Yield", "y", function() coroutine.yield() end)
local co = coroutine.wrap(function() return probe.Raise("Yield", 1) end)
check.eq(co(), "0", "a handler yielding across the module fails cleanly")

local saved = hook
hook = nil
check.eq(probe.Raise("E", 2), "0", "no hook table: calls fail, nothing breaks")
hook = { Call = 5 }
check.eq(probe.Raise("E", 1), "0", "hook.Call not a function")
hook = setmetatable({}, { __index = function() error("strict hook") end })
check.eq(probe.Raise("E", 1), "0", "erroring __index on lookup")
-- Found only through __index (a lazy or strict environment): a raw miss
-- on a table with a metatable takes the full lookup.
hook = nil
setmetatable(_G, { __index = function(_, k) if k == "hook" then return saved end end })
check.eq(probe.Raise("IRC_Test", 1, "lazy"), "1", "hook through _G's __index")
check.eq(got[1], "lazy", "delivered")
setmetatable(_G, nil)
hook = saved
check.eq(probe.Raise("IRC_Test", 1, "back"), "1", "hook restored")

-- A failing __gc finalizer raises (in this LuaJIT) at whatever allocation
-- starts its GC step, often one the host makes for the module's pushes:
-- the error must stay inside the host's protected call.
local template = newproxy(true)
local gcmeta, finalized = getmetatable(template), 0
gcmeta.__gc = function() finalized = finalized + 1; error("finalizer failed") end
hook.Add("IRC_Gc", "garbage", function() newproxy(template) end)
-- The call's own result may be what fails: that error is the caller's.
pcall(probe.Raise, "IRC_Gc", 3000, string.rep("x", 200), "y")
gcmeta.__gc = nil
hook.Remove("IRC_Gc", "garbage")
check.ok(finalized > 0, "finalizers ran while events were delivered")
check.eq(probe.Raise("IRC_Test", 1, "after"), "1", "events go on after finalizer errors")

check.finish()
