-- End to end: the module in quorvane-host against a real ngircd, talking
-- with a real ii client ("peer"). Every wait is bounded; the test quits
-- with status 0 only if every check passed.
--   e2e.lua PORT II_DIR   (ii's files for the server are in II_DIR/127.0.0.1)
local port, iidir = tonumber(arg[1]), arg[2] .. "/127.0.0.1"
local CHAN, BOT = "#e2e", "qvbot"
local failures = 0

local function fail(what)
  failures = failures + 1
  io.stderr:write("FAIL ", what, "\n")
end
local function eq(got, want, what)
  if got ~= want then fail(("%s: got %q, want %q"):format(what, tostring(got), tostring(want))) end
end

local function finish()
  print(failures == 0 and "e2e ok" or ("e2e failed: " .. failures))
  irc.Close()
  host.Quit(failures == 0 and 0 or 1)
end

-- Every event the module raises, in order.
local log = {}
local open = true
for _, name in ipairs { "IRC_RawData", "IRC_OnChat", "IRC_OnNotice", "IRC_OnNickServ",
                        "IRC_EndOfMOTD", "IRC_ErroneusNick", "IRC_NickInUse" } do
  hook.Add(name, "e2e.log", function(...)
    if not open then fail(name .. " raised while the module was closed") end
    log[#log + 1] = { name, n = select("#", ...), ... }
  end)
end

local function count(name)
  local n = 0
  for _, e in ipairs(log) do if e[1] == name then n = n + 1 end end
  return n
end

local function find_event(name, a, b, c, from)
  for i = from or 1, #log do
    local e = log[i]
    if e[1] == name and (a == nil or e[2] == a) and (b == nil or e[3] == b) and (c == nil or e[4] == c) then return e end
  end
end

local function raw_matching(pattern, from)
  for i = from or 1, #log do
    if log[i][1] == "IRC_RawData" and log[i][2]:find(pattern) then return log[i] end
  end
end

local function read(path)
  local f = io.open(path)
  if not f then return "" end
  local s = f:read("*a")
  f:close()
  return s
end

-- ii reads commands line by line from its FIFOs.
local function tell_ii(where, line)
  local f = assert(io.open(iidir .. (where and ("/" .. where) or "") .. "/in", "w"))
  f:write(line, "\n")
  f:close()
end

-- wait(what, cond, then, seconds): polls cond every 50 ms; fails the test
-- (and ends it) if it never holds.
local waits = 0
local function wait(what, cond, after, seconds)
  waits = waits + 1
  local id, tries = "wait" .. waits, math.floor((seconds or 20) / 0.05)
  timer.Create(id, 0.05, 0, function()
    if cond() then
      timer.Remove(id)
      after()
      return
    end
    tries = tries - 1
    if tries <= 0 then
      timer.Remove(id)
      fail("timed out waiting for " .. what)
      finish()
    end
  end)
end

local steps, current = {}, 0
local function step(fn) steps[#steps + 1] = fn end
local function nextstep()
  current = current + 1
  if steps[current] then
    print("-- step " .. current)
    io.stdout:flush()
    steps[current]()
  else
    finish()
  end
end

irc.Debug(false)

-- 1. Register under a nick the peer holds: the server says 433, the script
--    picks another nick and registration completes.
step(function()
  hook.Add("IRC_NickInUse", "e2e.nick", function() irc.SendRaw("NICK " .. BOT) end)
  local r = irc.Connect("127.0.0.1", port, "peer", "qvtest", "quorvane e2e")
  eq(r, nil, "Connect result")
  eq(irc.Connect("127.0.0.1", port, "again", "qvtest", "x"), "Invalid Socket!", "second Connect while connected")
  wait("IRC_EndOfMOTD", function() return count("IRC_EndOfMOTD") == 1 end, function()
    eq(count("IRC_NickInUse"), 1, "IRC_NickInUse before the MOTD")
    local e = find_event("IRC_NickInUse")
    eq(e and e.n, 0, "IRC_NickInUse has no arguments")
    nextstep()
  end)
end)

-- 2. Join; the peer (already in the channel) sees it.
step(function()
  irc.Join(CHAN)
  wait("the peer to see the join", function()
    return read(iidir .. "/" .. CHAN .. "/out"):find(BOT .. "%(~qvtest@127.0.0.1%) has joined " .. CHAN)
  end, nextstep)
end)

-- 3. Chat both ways, in the channel and privately.
step(function()
  irc.SendMessage(CHAN, "hello from the bot")
  wait("the peer to read the bot's line", function()
    return read(iidir .. "/" .. CHAN .. "/out"):find("<" .. BOT .. "> hello from the bot", 1, true)
  end, function()
    local mark = #log + 1
    tell_ii(CHAN, "hello bot: 100% sure")
    wait("IRC_OnChat from the channel", function() return find_event("IRC_OnChat", "peer", CHAN, "hello bot: 100% sure", mark) end,
      function()
        tell_ii(nil, "/PRIVMSG " .. BOT .. " :just between us")
        wait("a private IRC_OnChat", function() return find_event("IRC_OnChat", "peer", BOT, "just between us", mark) end,
          function()
            tell_ii(nil, "/NOTICE " .. BOT .. " :a notice")
            wait("IRC_OnNotice", function() return find_event("IRC_OnNotice", "peer", BOT, "a notice", mark) end, function()
              local said = find_event("IRC_OnChat", "peer", CHAN, nil, mark)
              eq(said.n, 5, "IRC_OnChat has nick, target, text, account, time")
              eq(said[5] == nil and said[6] == nil, true, "no account or time from a server that sends no tags")
              eq(raw_matching("^:peer!~peer@127%.0%.0%.1 PRIVMSG " .. CHAN .. " :hello bot", mark) ~= nil, true, "IRC_RawData carries the line")
              nextstep()
            end)
          end)
      end)
  end)
end)

-- 4. CTCP VERSION and TIME: answered by the module, seen by the peer; the
--    query still reaches the scripts as chat.
step(function()
  local mark = #log + 1
  tell_ii(nil, "/PRIVMSG " .. BOT .. " :\1VERSION\1")
  tell_ii(nil, "/PRIVMSG " .. BOT .. " :\1TIME\1")
  wait("the peer to get both CTCP replies", function()
    local s = read(iidir .. "/" .. BOT .. "/out")
    return s:find("\1VERSION quorvane, Version 1.2, Build 200, [Windows]\1", 1, true)
       and s:find("\1TIME to get a watch...\1", 1, true)
  end, function()
    eq(find_event("IRC_OnChat", "peer", BOT, "\1VERSION\1", mark) ~= nil, true, "VERSION query delivered as chat")
    nextstep()
  end)
end)

-- 5. PING: the server pings an idle client (PingTimeout is low) and drops
--    it if no PONG comes within 5 s. Two PINGs in a row mean the first was
--    answered; the channel still hears the bot after them.
step(function()
  local mark = #log + 1
  wait("two PINGs from the server", function()
    local first = raw_matching("^PING ", mark)
    return first and raw_matching("^PING ", (function()
      for i = mark, #log do if log[i] == first then return i + 1 end end
    end)())
  end, function()
    eq(raw_matching("^ERROR ", mark), nil, "no ERROR from the server")
    irc.SendMessage(CHAN, "still here after the pings")
    wait("the peer to hear the bot after the pings", function()
      return read(iidir .. "/" .. CHAN .. "/out"):find("<" .. BOT .. "> still here after the pings", 1, true)
    end, nextstep)
  end, 40)
end)

-- 6. Shut the module: no events (the hooks above fail the test if one
--    comes), but PINGs are still answered. Stay shut past two ping rounds.
step(function()
  host.CloseModule()
  open = false
  eq(host.Stats().open, false, "module closed")
  tell_ii(CHAN, "said while the module was shut")
  local rounds = 0
  timer.Create("shut", 1, 0, function()
    rounds = rounds + 1
    if rounds < 14 then return end
    timer.Remove("shut")
    nextstep()
  end)
end)

-- 7. Open again: events resume on the same connection.
step(function()
  open = true
  host.OpenModule()
  eq(host.Stats().open, true, "module open again")
  local quit = read(iidir .. "/out"):find(BOT .. "%(.-%) has quit") or read(iidir .. "/" .. CHAN .. "/out"):find(BOT .. "%(.-%) has quit")
  eq(quit, nil, "bot still connected after being shut past two ping timeouts")
  local mark = #log + 1
  irc.SendMessage(CHAN, "back again")
  tell_ii(CHAN, "welcome back")
  wait("events after reopening", function() return find_event("IRC_OnChat", "peer", CHAN, "welcome back", mark) end, function()
    eq(find_event("IRC_OnChat", "peer", CHAN, "said while the module was shut"), nil, "nothing raised while shut")
    wait("the peer to hear the bot after reopening", function()
      return read(iidir .. "/" .. CHAN .. "/out"):find("<" .. BOT .. "> back again", 1, true)
    end, nextstep)
  end)
end)

-- 8. Close and connect again, over IPv6 this time.
step(function()
  irc.Close()
  wait("the peer to see the bot quit", function()
    return (read(iidir .. "/out") .. read(iidir .. "/" .. CHAN .. "/out")):find(BOT .. "%(.-%) has quit")
  end, function()
    local motd = count("IRC_EndOfMOTD")
    local r = irc.Connect("::1", port, BOT, "qvtest", "quorvane e2e")
    eq(r, nil, "reconnect over IPv6 accepted")
    wait("registration after reconnecting", function() return count("IRC_EndOfMOTD") == motd + 1 end, function()
      irc.Join(CHAN)
      irc.SendMessage(CHAN, "reconnected")
      wait("the peer to hear the reconnected bot", function()
        return read(iidir .. "/" .. CHAN .. "/out"):find("<" .. BOT .. "> reconnected", 1, true)
      end, nextstep)
    end)
  end)
end)

-- 9. UTF-8 both ways: the peer reads the bot's text as it was written, a
--    long one in pieces that split no character and arrive whole; the
--    script gets the peer's UTF-8 as it came and its Windows-1252 as UTF-8.
step(function()
  irc.SetUTF8(true)
  local text, euros = "Grüße, café, 5 € 😀", ("€"):rep(200)  -- 600 bytes: pieces of 133 and 67 characters
  irc.SendMessage(CHAN, text)
  irc.SendMessage(CHAN, euros)
  wait("the peer to read the bot's UTF-8", function()
    local s = read(iidir .. "/" .. CHAN .. "/out")
    return s:find("<" .. BOT .. "> " .. text .. "\n", 1, true) and s:find("<" .. BOT .. "> " .. ("€"):rep(133) .. "\n", 1, true)
       and s:find("<" .. BOT .. "> " .. ("€"):rep(67) .. "\n", 1, true)
  end, function()
    local mark = #log + 1
    tell_ii(CHAN, "zurück: ✓ ok")
    tell_ii(CHAN, "caf\233 cr\232me \128")  -- Windows-1252, as an old client sends it
    wait("the peer's UTF-8 and Windows-1252 as UTF-8", function()
      return find_event("IRC_OnChat", "peer", CHAN, "zurück: ✓ ok", mark)
         and find_event("IRC_OnChat", "peer", CHAN, "café crème €", mark)
    end, function()
      irc.SetUTF8(false)
      nextstep()
    end)
  end)
end)

timer.Create("e2e.deadline", 150, 1, function() fail("overall deadline"); finish() end)
timer.Simple(0, nextstep)
