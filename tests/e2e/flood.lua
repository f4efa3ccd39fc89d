-- Many events through the real module: the stack stays put, handles come
-- back after every poll tick, and memory does not grow with the count.
--   flood.lua PORT COUNT
local port, total = tonumber(arg[1]), tonumber(arg[2])
local failures = 0
local function check(ok, what)
  if not ok then failures = failures + 1; io.stderr:write("FAIL ", what, "\n") end
end

local function rss_kb()
  local f = io.open("/proc/self/statm")
  local _, pages = f:read("*n", "*n")
  f:close()
  return pages * 4
end
local function lua_kb()
  collectgarbage("collect")
  return collectgarbage("count")
end

local chats, next_line, done = 0, 0, false
hook.Add("IRC_OnChat", "flood", function(_, _, text)
  if text == "done" then done = true; return end
  -- Every line arrives once, in order.
  if text ~= "line " .. next_line then
    check(false, ("got %q, expected line %d"):format(text, next_line))
  end
  next_line = next_line + 1
  chats = chats + 1
end)

irc.Debug(false)
check(irc.Connect("127.0.0.1", port, "qv", "qv", "flood") == nil, "connect")
local base = host.Stats()
local early_lua, early_rss, early_pool
local bad_top, samples = 0, 0
local ticks = 0

timer.Create("sample", 0.05, 0, function()
  ticks = ticks + 1
  local st = host.Stats()
  samples = samples + 1
  if st.top ~= base.top then bad_top = bad_top + 1 end
  check(st.handles == 0, "no handles outstanding between callbacks")
  if early_lua == nil and chats >= total / 10 then
    early_lua, early_rss, early_pool = lua_kb(), rss_kb(), st.handle_pool
  end
  if done or ticks > 20 * 600 then
    timer.Remove("sample")
    check(done, "the flood ended within the bound")
    check(chats == total, ("all %d lines delivered (got %d)"):format(total, chats))
    local fin = host.Stats()
    local late_lua, late_rss = lua_kb(), rss_kb()
    check(bad_top == 0, "stack top unchanged after every tick")
    check(fin.dropped == base.dropped, "the module's calls left nothing on the stack")
    check(early_lua ~= nil and late_lua - early_lua < 256, "Lua heap flat")
    check(fin.peak_handles <= 8, "handles do not grow with the events of a tick")
    print(("%d events (%d samples): peak handles %d, pool %d -> %d, Lua heap %.0f -> %.0f KB, RSS %d -> %d KB"):format(
      chats * 2, samples, fin.peak_handles, early_pool or -1, fin.handle_pool, early_lua or -1, late_lua, early_rss or -1, late_rss))
    irc.Close()
    host.Quit(failures == 0 and 0 or 1)
  end
end)
