-- Turns the flood benchmark's result lines into one table.
--   report.lua RESULTS LINES [MEMBERS: the churn corpus, its channel's size]
local path, lines, churn = arg[1], tonumber(arg[2]), tonumber(arg[3] or "")

local function fields(line)
  local t = {}
  for k, v in line:gmatch("([%w_]+)=(%S+)") do t[k] = tonumber(v) or v end
  return t
end

local function median(list)
  if #list == 0 then return 0 / 0 end
  local s = {}
  for i, v in ipairs(list) do s[i] = v end
  table.sort(s)
  local m = (#s + 1) / 2
  return (s[math.floor(m)] + s[math.ceil(m)]) / 2
end

local function max(list)
  local m = -math.huge
  for _, v in ipairs(list) do if v > m then m = v end end
  return m
end

-- A run's line: the client's key=value results, then the server's after
-- "expect", kept apart as exp_*.
local runs, idle = {}, nil
for line in io.lines(path) do
  if line:match("^idle ") then
    idle = fields(line)
  else
    local client, server = line:match("^(.-) expect (.*)$")
    local r = fields(client or line)
    for k, v in pairs(fields(server or "")) do r["exp_" .. k] = v end
    runs[#runs + 1] = r
  end
end

-- What the client saw and sent back against what the server sent.
local checked = { "raw", "raw_bytes", "chat", "chat_bytes", "notice", "notice_bytes", "nickserv", "motd", "erroneus", "nickinuse",
  "chat_tagged", "tag_bytes" }
-- The floor raises IRC_RawData and IRC_OnChat for every line, nothing else.
local floor_checked = { "raw", "raw_bytes" }
local function problems(r)
  if r.status ~= 0 then return "exit status " .. tostring(r.status) end
  if r.cpu == nil or r.exp_raw == nil then return "no result" end
  local bad = {}
  if r.client == "floor" then
    for _, k in ipairs(floor_checked) do
      if r[k] ~= r["exp_" .. k] then bad[#bad + 1] = ("%s %s/%s"):format(k, tostring(r[k]), tostring(r["exp_" .. k])) end
    end
    if r.chat ~= r.exp_raw then bad[#bad + 1] = ("chat %s/%s"):format(tostring(r.chat), tostring(r.exp_raw)) end
    return #bad > 0 and table.concat(bad, ", ") or nil
  end
  for _, k in ipairs(checked) do
    if r[k] ~= r["exp_" .. k] then bad[#bad + 1] = ("%s %s/%s"):format(k, tostring(r[k]), tostring(r["exp_" .. k])) end
  end
  if r.exp_got_pongs ~= r.exp_pongs then bad[#bad + 1] = ("PONG %s/%s"):format(r.exp_got_pongs, r.exp_pongs) end
  -- CTCP replies are not checked: the module paces them and drops those
  -- past a few waiting, by design; the report shows how many came back.
  return #bad > 0 and table.concat(bad, ", ") or nil
end

local order = { "floor", "lua", "host-off", "host-on", "host-tls", "host-utf8", "host-tags", "host-before" }
local names = { floor = "floor (Lua C API, no socket)", lua = "pure Lua (LuaJIT + LuaSocket)", ["host-off"] = "quorvane-host + module, debug off",
  ["host-on"] = "quorvane-host + module, debug on", ["host-tls"] = "quorvane-host + module, TLS, debug off",
  ["host-utf8"] = "quorvane-host + module, UTF-8 on", ["host-tags"] = "quorvane-host + module, tagged, debug off",
  ["host-before"] = "quorvane-host + --before module, debug off" }
local by = { floor = {}, lua = {}, ["host-off"] = {}, ["host-on"] = {}, ["host-tls"] = {}, ["host-utf8"] = {}, ["host-tags"] = {}, ["host-before"] = {} }
local base = {}  -- round -> lua CPU ns per line
local floor_ns = {}  -- round -> floor CPU ns per line
for _, r in ipairs(runs) do
  local flood_lines = (r.exp_raw or 2) - (r.exp_welcome or 2)  -- corpus and end marker, not the welcome
  r.ns = r.cpu and r.cpu / flood_lines * 1e9
  r.rate = r.wall and flood_lines / r.wall
  r.problem = problems(r)
  if r.client == "lua" and not r.problem then base[r.round] = r.ns end
  if r.client == "floor" and not r.problem then floor_ns[r.round] = r.ns end
  table.insert(by[r.client], r)
end

local function cpuinfo()
  local f = io.open("/proc/cpuinfo")
  local s = f and f:read("*a") or ""
  if f then f:close() end
  local n = 0
  for _ in s:gmatch("\nprocessor%s*:") do n = n + 1 end
  if s:match("^processor") then n = n + 1 end
  return s:match("model name%s*:%s*([^\n]+)") or "?", n
end
local model, cpus = cpuinfo()

print()
print(("%s: %d lines a round, %d rounds, %s (%d CPUs)"):format(churn and ("churn of a %d-member channel"):format(churn) or "flood",
  lines, #by["host-off"], model, cpus))
print(("%-40s %9s %7s %7s %10s %9s %9s %9s %9s  %s"):format("client", "CPU ns/l", "ratio", "/floor", "lines/s", "RSS+ MB",
  "idle MB", "tick max", "tick p99", "events"))
local ratios, floor_ratios = {}, {}
for _, c in ipairs(order) do
  if #by[c] == 0 then goto next end
  local ns, rate, grow, idle_rss, tmax, tp99, rs, fs, bad = {}, {}, {}, {}, {}, {}, {}, {}, {}
  for _, r in ipairs(by[c]) do
    if r.problem then
      bad[#bad + 1] = ("round %s: %s"):format(tostring(r.round), r.problem)
    else
      ns[#ns + 1], rate[#rate + 1] = r.ns, r.rate
      grow[#grow + 1] = (r.peak_rss - r.idle_rss) / 1024
      idle_rss[#idle_rss + 1] = r.idle_rss / 1024
      if type(r.tick_max) == "number" and r.tick_max == r.tick_max then tmax[#tmax + 1] = r.tick_max * 1e3; tp99[#tp99 + 1] = r.tick_p99 * 1e3 end
      if base[r.round] then rs[#rs + 1] = r.ns / base[r.round] end
      if floor_ns[r.round] then fs[#fs + 1] = r.ns / floor_ns[r.round] end
    end
  end
  ratios[c], floor_ratios[c] = rs, fs
  local function ms(list, f) return #list > 0 and ("%.2f ms"):format(f(list)) or "-" end
  print(("%-40s %9.0f %7.2f %7.2f %10.0f %9.1f %9.1f %9s %9s  %s"):format(names[c], median(ns), median(rs), median(fs),
    median(rate),
    #grow > 0 and max(grow) or 0 / 0, median(idle_rss), ms(tmax, max), ms(tp99, median),
    #bad == 0 and ("ok, %d/%d"):format(#ns, #by[c]) or table.concat(bad, "; ")))
  ::next::
end
print()
print("CPU ns/l: user+sys CPU of the client from its go to the end marker, per flood line (median);")
print("ratio, /floor: CPU against the pure-Lua client and the floor of the same round (median of the")
print("rounds; the floor's lines/s and RSS are not a client's: it reads no socket and holds the corpus); RSS+: peak RSS")
print("over the RSS when connected and idle (worst round); tick: a module loop callback (pure Lua: the")
print("lines of one read), longest over all rounds and median 99th percentile.")
for _, c in ipairs({ "lua", "host-off", "host-on", "host-tls", "host-utf8", "host-tags" }) do
  if ratios[c] == nil then goto skip end
  local list, flist = {}, {}
  for i, v in ipairs(ratios[c]) do list[i] = ("%.2f"):format(v) end
  for i, v in ipairs(floor_ratios[c]) do flist[i] = ("%.2f"):format(v) end
  if c ~= "lua" then print(("paired ratios, %s: %s"):format(c, table.concat(list, " "))) end
  print(("paired ratios to the floor, %s: %s"):format(c, table.concat(flist, " ")))
  ::skip::
end
-- Each round's `client` against the same round's client with debug off:
-- the cost of what it adds.
local function against_off(client, what, base_client)
  if #by[client] == 0 or #by[base_client or "host-off"] == 0 then return end
  local off, list = {}, {}
  for _, r in ipairs(by[base_client or "host-off"]) do if not r.problem then off[r.round] = r.ns end end
  for _, r in ipairs(by[client]) do
    if not r.problem and off[r.round] then list[#list + 1] = r.ns / off[r.round] end
  end
  local shown = {}
  for i, v in ipairs(list) do shown[i] = ("%.3f"):format(v) end
  print(("%s, CPU per line: median %+.1f%%; paired: %s"):format(what, (median(list) - 1) * 100, table.concat(shown, " ")))
end
-- UTF-8 on against off, on the same corpus.
against_off("host-utf8", "UTF-8 on against off (corpus: one line in ten non-ASCII)")
-- The same lines with tags against without.
against_off("host-tags", "tags against none (time and account on every chat line)")
-- This build against another (--before), on the same corpus and host.
against_off("host-off", "this module against the other (--before)", "host-before")
if churn then
  for _, c in ipairs({ "host-off", "host-before" }) do
    local ends, starts = {}, {}
    for _, r in ipairs(by[c]) do
      if not r.problem and r.end_rss then ends[#ends + 1], starts[#starts + 1] = r.end_rss / 1024, r.idle_rss / 1024 end
    end
    if #ends > 0 then
      print(("churn, %s: RSS at the end %.1f MB (median), %.1f MB when the flood began, the channel full"):format(names[c],
        median(ends), median(starts)))
    end
  end
end
local ctcp = {}
for _, c in ipairs(order) do
  local r = by[c][1]
  if r and r.exp_ctcp and c ~= "floor" then ctcp[#ctcp + 1] = ("%s %s/%s"):format(c, tostring(r.exp_got_ctcp), tostring(r.exp_ctcp)) end
end
print("CTCP queries answered (round 1; the module paces its replies and drops those past a few waiting): "
  .. table.concat(ctcp, ", "))
if idle then
  local pct = idle.cpu_ns / 1e9 / idle.seconds * 100
  print(("idle: a connected quorvane-host used %.3f%% of one core over %.0f s; SIGTERM: %s"):format(pct,
    idle.seconds, idle.exited == "yes" and ("exited, status " .. idle.status) or "still running after 5 s"))
end
host.Quit(0)
