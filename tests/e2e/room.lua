-- The room as the module keeps it, printed for room_e2e.sh and
-- room_plain_e2e.sh to hold against what the server says. It joins the
-- channels and then only answers, in channel messages:
--   !room TAG CHANNEL...  its view of the channels it is in among them,
--                         the lines ircv3_client.py's room job prints for
--                         the server's, each "room TAG " first, then
--                         "room TAG end"
--   !case A B             "case A B SAME NICK_A NICK_B": whether A and B
--                         fold alike, and whom GetUser finds for each
--   !nick OLD NEW         takes the nick NEW if its nick is OLD
-- Every room event is printed as "event NAME ARGS...", the end of every
-- WHO as "who-done CHANNEL". $QV_ROOM_PASSWORD is the link's PASS.
-- The channels are joined at IRC_OnRegistered, or with $QV_ROOM_EARLY set
-- right after irc.Connect.
--   room.lua HOST PORT NICK IDENT [CHANNEL...]
local server, port, nick, ident = arg[1], tonumber(arg[2]), arg[3], arg[4]
local channels = { select(5, unpack(arg)) }
-- $QV_ROOM_EARLY: the joins go right after irc.Connect, before the server
-- has registered the link.
local early = os.getenv("QV_ROOM_EARLY") ~= nil

local function out(...)
  print(table.concat({ ... }, " "))
  io.stdout:flush()
end
local function text(v) return v == nil and "" or tostring(v) end

for _, name in ipairs { "IRC_OnRegistered", "IRC_OnJoin", "IRC_OnPart", "IRC_OnKick", "IRC_OnQuit",
                        "IRC_OnNick", "IRC_OnMode", "IRC_OnTopic", "IRC_OnAccount", "IRC_Disconnected" } do
  hook.Add(name, "room.log", function(...)
    local args = { n = select("#", ...), ... }
    for i = 1, args.n do args[i] = text(args[i]) end
    out("event", name, unpack(args, 1, args.n))
  end)
end

hook.Add("IRC_OnRegistered", "room", function()
  out("rules", "PREFIX=" .. text(irc.ISupport("PREFIX")), "CASEMAPPING=" .. text(irc.ISupport("CASEMAPPING")),
      "MODES=" .. text(irc.ISupport("MODES")), "WHOX=" .. text(irc.ISupport("WHOX")))
  if not early then
    for _, channel in ipairs(channels) do irc.Join(channel) end
  end
end)

-- Where the server offers no WHOX the module asks nothing when it joins;
-- a plain WHO tells the members' user, host and real name.
hook.Add("IRC_OnJoin", "room", function(who, channel)
  if irc.FoldCase(who) == irc.FoldCase(irc.GetNick()) and not irc.ISupport("WHOX") then
    irc.SendRaw("WHO " .. channel)
  end
end)

hook.Add("IRC_RawData", "room", function(line)
  local channel = line:match("^:%S+ 315 %S+ (%S+)")
  if channel then out("who-done", channel) end
end)

local function dump(tag, asked)
  local lines, mine = {}, {}
  local function line(...) lines[#lines + 1] = table.concat({ ... }, "\t") end
  local signs = (irc.ISupport("PREFIX") or "(ov)@+"):match("%)(.*)") or ""
  for channel in (irc.GetChannels() or ""):gmatch("%S+") do mine[irc.FoldCase(channel)] = channel end
  for _, wanted in ipairs(asked) do
    local channel = mine[irc.FoldCase(wanted)]
    for entry in (channel and irc.GetUsers(channel) or ""):gmatch("%S+") do
      local n = 0
      while n < #entry and signs:find(entry:sub(n + 1, n + 1), 1, true) do n = n + 1 end
      local status, who = entry:sub(1, n), entry:sub(n + 1)
      if irc.GetStatus(channel, who) ~= status then line("inconsistent", channel, entry, text(irc.GetStatus(channel, who))) end
      local spelt, user, host, account, realname, away = irc.GetUser(who)
      if spelt ~= who then line("inconsistent", channel, entry, text(spelt)) end
      line("member", channel, entry, text(user), text(host), text(account), text(realname), text(away))
    end
    if channel then
      -- The setter as the server's 333 names it (a nick, or nick!user@host)
      -- or a TOPIC's nick: its nick is what both say alike.
      local topic, by = irc.GetTopic(channel)
      if topic then line("topic", channel, topic, text(by):match("^[^!]*")) end
    end
  end
  local joined = {}
  for channel in (irc.GetChannels() or ""):gmatch("%S+") do joined[#joined + 1] = channel end
  table.sort(joined)
  line("me", ident, text(irc.GetNick()), table.concat(joined, " "))
  for _, l in ipairs(lines) do out("room", tag, l) end
  out("room", tag, "end")
end

hook.Add("IRC_OnChat", "room", function(_, _, said)
  local tag, list = said:match("^!room (%S+)(.*)")
  if tag then
    local asked = {}
    for channel in list:gmatch("%S+") do asked[#asked + 1] = channel end
    return dump(tag, asked)
  end
  local a, b = said:match("^!case (%S+) (%S+)$")
  if a then
    return out("case", a, b, tostring(irc.FoldCase(a) == irc.FoldCase(b)), text(irc.GetUser(a)), text(irc.GetUser(b)))
  end
  local old, new = said:match("^!nick (%S+) (%S+)$")
  if old and irc.FoldCase(old) == irc.FoldCase(irc.GetNick()) then irc.SendRaw("NICK " .. new) end
end)

if os.getenv("QV_ROOM_PASSWORD") then irc.SetPassword(os.getenv("QV_ROOM_PASSWORD")) end
local failed = irc.Connect(server, port, nick, ident, "quorvane room bot")
if failed then
  out("connect failed:", failed)
  host.Quit(1)
end
if early then
  for _, channel in ipairs(channels) do irc.Join(channel) end
end
