-- The host's duties over many events: the stack stays where it was and
-- handles are reclaimed, so memory does not grow with the event count.
-- Counts, not timings. QV_EVENTS scales the run (default one million).
local check = dofile(arg[0]:match("^(.-)[^/]*$") .. "check.lua")
check.deadline(600)

local total = tonumber(os.getenv("QV_EVENTS") or "") or 1000000
local per_tick = 5000
local events = 0
hook.Add("IRC_Load", "count", function() events = events + 1 end)

local function rss_kb()
  local f = io.open("/proc/self/statm")
  if not f then return 0 end
  f:read("*n")  -- the size; the resident pages follow
  local pages = f:read("*n")
  f:close()
  return pages * 4
end

local function lua_kb()
  collectgarbage("collect")
  collectgarbage("collect")
  return collectgarbage("count")
end

-- Within one script call: the same values looked up again and again share
-- their handles, and all of them go when the call returns.
check.eq(probe.Raise("IRC_Load", 1000, "line", "0"), "1000", "raised from a script call")
local s = host.Stats()
check.eq(s.handles, 0, "handles reclaimed when the script call returned")
check.eq(s.peak_handles, 2, "one handle each for hook and hook.Call, however many events")
-- A handle kept past its call names nil, though its pin slot names another
-- value now; a name looked up from a reused buffer is the new name.
probe.Keep()
check.eq(probe.Kept(), nil, "a kept handle names nil")
check.eq(probe.Stray, nil, "nothing is set through a kept handle")
check.eq(probe.Lookup("hook"), hook, "a name from a buffer")
check.eq(probe.Lookup("probe"), probe, "another name from the same buffer")
events = 0

local base = host.Stats()
local pool, registry, lua_early, rss_early
local samples, bad_top = 0, 0

probe.Tick(1, per_tick, math.ceil(total / per_tick), "IRC_Load")
timer.Create("sample", 0.001, 0, function()
  local st = host.Stats()
  samples = samples + 1
  -- Sampled in a callback of its own: every module tick before it has
  -- returned, so its handles must be back and its stack repaired by nobody.
  if st.top ~= base.top then bad_top = bad_top + 1 end
  check.eq(st.handles, 0, "no handles outstanding between callbacks")
  if pool == nil and events >= total / 10 then
    pool, registry = st.handle_pool, st.registry
    lua_early, rss_early = lua_kb(), rss_kb()
  end
  if events >= total then
    timer.Remove("sample")
    local fin = host.Stats()
    local lua_late, rss_late = lua_kb(), rss_kb()
    check.eq(bad_top, 0, "stack top unchanged after every module tick")
    check.eq(fin.dropped, base.dropped, "no stack slots left behind by the calls")
    check.eq(fin.handle_pool, pool, "handle pool stopped growing")
    check.eq(fin.registry, registry, "the Lua registry stopped growing")
    check.eq(fin.peak_handles, 2, "handles do not grow with the events of a tick")
    check.ok(lua_late - lua_early < 256, ("Lua heap flat: %.0f KB -> %.0f KB"):format(lua_early, lua_late))
    print(("events %d, samples %d, peak handles %d, Lua heap %.0f -> %.0f KB, RSS %d -> %d KB"):format(
      events, samples, fin.peak_handles, lua_early, lua_late, rss_early, rss_late))

    -- A module that pushes without calling leaves slots on the stack; the
    -- host drops them after the callback, so they cannot pile up.
    probe.Tick(1, 5, 3, "", true)
    timer.Create("leftover", 0.002, 0, function()
      local st2 = host.Stats()
      if st2.dropped - fin.dropped == 15 then
        timer.Remove("leftover")
        timer.Simple(0, function()
          check.eq(host.Stats().top, base.top, "stack repaired after a misbehaving tick")
          check.finish()
        end)
      end
    end)
  end
end)
