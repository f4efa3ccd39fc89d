-- Runs before every script: the hook and timer libraries and the host
-- table. `native` holds the host's C functions; they are reached only
-- through the wrappers below, which check their arguments.
local native = ...

local type, pairs, ipairs, error = type, pairs, ipairs, error
local floor, huge = math.floor, math.huge

---------------------------------------------------------------------------
-- hook: event name -> ordered handlers. The module raises every event
-- through hook.Call(event, nil, ...). Add and Remove build a new list, so a
-- handler that changes hooks while an event is being delivered affects the
-- next event, never the loop in progress.
---------------------------------------------------------------------------
local byname = {}  -- event -> { id -> fn }, what GetTable shows
local lists = {}   -- event -> array of { id, fn }, in the order added

hook = {}

local function rebuild(event)
  local old, new = lists[event] or {}, {}
  local fns = byname[event] or {}
  local seen = {}
  for _, e in ipairs(old) do
    local fn = fns[e[1]]
    if fn ~= nil then new[#new + 1] = { e[1], fn }; seen[e[1]] = true end
  end
  for id, fn in pairs(fns) do
    if not seen[id] then new[#new + 1] = { id, fn } end
  end
  lists[event] = #new > 0 and new or nil
end

function hook.Add(event, id, fn)
  if event == nil then error("hook.Add: event name expected", 2) end
  if id == nil then error("hook.Add: handler id expected", 2) end
  if type(fn) ~= "function" then error("hook.Add: function expected, got " .. type(fn), 2) end
  local t = byname[event]
  if not t then t = {}; byname[event] = t end
  t[id] = fn
  rebuild(event)
end

function hook.Remove(event, id)
  local t = byname[event]
  if not t or t[id] == nil then return end
  t[id] = nil
  if next(t) == nil then byname[event] = nil end
  rebuild(event)
end

function hook.GetTable()
  return byname
end

-- Calls every handler of `event` with `...`; the first that returns a
-- non-nil value ends the chain, and its results are returned. `gm`, when
-- given, is a table whose method named like the event runs last.
function hook.Call(event, gm, ...)
  local list = lists[event]
  if list then
    for i = 1, #list do
      local a, b, c, d, e, f = list[i][2](...)
      if a ~= nil then return a, b, c, d, e, f end
    end
  end
  if gm ~= nil then
    local m = gm[event]
    if m ~= nil then return m(gm, ...) end
  end
  return nil
end

---------------------------------------------------------------------------
-- timer: run by the process's message loop, on the thread that runs the
-- module's poll. Each timer has a key the loop hands back when it fires.
---------------------------------------------------------------------------
local timers = {}  -- id -> record (named timers only)
local bykey = {}   -- key -> record
local lastkey = 0

timer = {}

local function period_ms(seconds, who)
  if type(seconds) ~= "number" or seconds ~= seconds or seconds < 0 or seconds == huge then
    error(who .. ": delay must be a number of seconds >= 0", 3)
  end
  return floor(seconds * 1000 + 0.5)
end

local function stop(rec)
  native.kill_timer(rec.qid)
  bykey[rec.key] = nil
  if rec.id ~= nil and timers[rec.id] == rec then timers[rec.id] = nil end
end

local function start(id, ms, reps, fn)
  lastkey = lastkey + 1
  local rec = { id = id, key = lastkey, left = reps, fn = fn }
  rec.qid = native.set_timer(ms, rec.key)
  if rec.qid == nil then error("timer: the loop could not start a timer", 3) end
  bykey[rec.key] = rec
  return rec
end

function timer.Simple(seconds, fn)
  local ms = period_ms(seconds, "timer.Simple")
  if type(fn) ~= "function" then error("timer.Simple: function expected", 2) end
  start(nil, ms, 1, fn)
end

-- repetitions: how many times to run; 0 runs it until removed. Creating a
-- timer under an existing id replaces that timer.
function timer.Create(id, seconds, repetitions, fn)
  if id == nil then error("timer.Create: id expected", 2) end
  local ms = period_ms(seconds, "timer.Create")
  if type(repetitions) ~= "number" or repetitions < 0 or repetitions ~= floor(repetitions) then
    error("timer.Create: repetitions must be a whole number >= 0", 2)
  end
  if type(fn) ~= "function" then error("timer.Create: function expected", 2) end
  local old = timers[id]
  if old then stop(old) end
  timers[id] = start(id, ms, repetitions, fn)
end

function timer.Remove(id)
  local rec = timers[id]
  if rec then stop(rec) end
end

function timer.Exists(id)
  return timers[id] ~= nil
end

-- Called by the host (protected, with a traceback) when a loop timer fires.
local function fire(key)
  local rec = bykey[key]
  if rec == nil then return end
  if rec.left > 0 then
    rec.left = rec.left - 1
    -- Stopped before it runs, so a failing callback still counts.
    if rec.left == 0 then stop(rec) end
  end
  rec.fn()
end

---------------------------------------------------------------------------
-- host: the program around the script.
---------------------------------------------------------------------------
host = {}

-- Leaves the message loop after the current callback, closes the module and
-- exits with `code` (default 0).
function host.Quit(code)
  if code == nil then code = 0 end
  if type(code) ~= "number" or code ~= code then error("host.Quit: exit code must be a number", 2) end
  native.quit(code)
end

-- gmod_close / gmod_open on this state. Asked for from an event handler
-- (while the module is raising an event), they run as soon as the module's
-- current call returns, so the module is never shut under its own feet.
function host.CloseModule() native.close_module() end
function host.OpenModule() native.open_module() end

-- Counters for tests and benchmarks: stack top after the last loop
-- callback, live and peak handle counts, the loop's timers, the entries in
-- the Lua registry, and the module's
-- loop callbacks (ticks): how many, the longest and the 99th percentile, in
-- seconds, since the start or host.ResetTickStats().
function host.Stats() return native.stats() end
function host.ResetTickStats() native.reset_tick_stats() end

-- Monotonic seconds, for measuring intervals.
host.Clock = native.clock

return fire
