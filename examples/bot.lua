-- A bot to adapt. It joins its channels once registered, picks another
-- nick when its own is taken, identifies with NickServ when asked, answers
-- a few commands (!quit only from its admin's account, !who with a
-- channel's operators), runs none that a bouncer replays from before the
-- link came up, rejoins a channel it is kicked from (once, after a pause),
-- reconnects with a growing back-off when the link is lost or a connect
-- fails, and says goodbye when the host is stopped.
--
--   quorvane-host examples/bot.lua [OPTIONS] [SERVER [PORT [NICK [CHANNELS [TLS]]]]]
--   quorvane-host examples/bot.lua --help
--
-- CHANNELS is a comma-separated list. TLS is "tls" to connect with TLS,
-- the server's certificate checked (port 6697 on most networks), the
-- SHA-256 fingerprint of a private server's own certificate (as openssl
-- prints it; see "Private servers" in README.md) to take that one only, or
-- "insecure" for TLS with any certificate.
-- Set QV_NICKSERV_PASSWORD in the environment to identify with NickServ. The QV_BOT_* variables below tune
-- how soon a silent server counts as gone, and the back-off.
--
-- OPTIONS (passwords come from the environment only: a command line is
-- visible to every user of the machine):
--   --utf8          read and write text as UTF-8 (irc.SetUTF8); without it
--                   every byte above 0x7F is '?' both ways.
--   --sasl ACCOUNT  log in to ACCOUNT with SASL while registering; the
--                   password is taken from QUORVANE_SASL_PASSWORD. A login
--                   the server refuses ends the bot (exit status 1, the
--                   reason on its console): trying the same password again
--                   cannot help, and services count the failures. A server
--                   that does not answer in time is tried again, as after
--                   any loss. Use it with TLS on a real network.
--   --sasl-mechanism NAME
--                   the mechanism --sasl logs in with: PLAIN (the default),
--                   SCRAM-SHA-256 (the password never leaves the bot, and
--                   the server must prove it knows it too) or EXTERNAL.
--   --password      send QUORVANE_PASSWORD as the server password (PASS), for
--                   a bouncer or a private server.
--   --no-password   send no PASS at all. Without either the module sends its
--                   fixed PASS, and a server that refuses it is tried again
--                   at once without; this spares that round.
--   --cert FILE     present the client certificate in FILE (PKCS#12, or on
--                   Linux PEM with its key) on TLS links; its password, if
--                   any, from QUORVANE_CERT_PASSWORD.
--   --sasl-external ACCOUNT
--                   log in to ACCOUNT by that certificate (SASL EXTERNAL):
--                   no password anywhere. Needs --cert and TLS, and the
--                   certificate's fingerprint added to the account first
--                   (/msg NickServ CERT ADD). A refusal ends the bot as for --sasl.
--                   The same as --sasl ACCOUNT --sasl-mechanism EXTERNAL.
--   --sts-file PATH keep the servers' STS policies in PATH (irc.SetStsFile),
--                   so the bot started again still connects with TLS where
--                   a server required it; made if missing.
--   --admin ACCOUNT !quit obeys only a user logged in to ACCOUNT, as the
--                   server tells it (the account tag of the message, or
--                   what the module knows of the sender from the server:
--                   a nick anyone can take is no proof). Without it, or
--                   from anyone else, !quit is refused.
--   --help          print this and stop.

local usage = [==[
usage: quorvane-host examples/bot.lua [--utf8] [--sasl ACCOUNT [--sasl-mechanism NAME] | --sasl-external ACCOUNT]
                                     [--cert FILE] [--password | --no-password] [--sts-file PATH] [--admin ACCOUNT]
                                     [SERVER [PORT [NICK [CHANNELS [tls|FINGERPRINT|insecure]]]]]
  --utf8          text is UTF-8 both ways (what users of other languages write);
                  without it every byte above 0x7F reads and goes out as '?'
  --sasl ACCOUNT  SASL login to ACCOUNT, password from $QUORVANE_SASL_PASSWORD
  --sasl-mechanism NAME
                  PLAIN (default), SCRAM-SHA-256 (the password is never sent) or EXTERNAL
  --password      server password (PASS) from $QUORVANE_PASSWORD
  --no-password   no PASS at all (else the fixed one, left out if refused)
  --cert FILE     client certificate for TLS (PKCS#12, or PEM with its key),
                  its password if any from $QUORVANE_CERT_PASSWORD
  --sasl-external ACCOUNT
                  SASL login to ACCOUNT by the client certificate (needs --cert, tls)
  --sts-file PATH keep STS policies in PATH across restarts (made if missing)
  --admin ACCOUNT !quit is obeyed from a user logged in to ACCOUNT only
  SERVER          default 127.0.0.1; PORT default 6667; NICK default quorvbot
  CHANNELS        comma-separated, default #quorvane
  TLS             "tls" (certificate checked), the SHA-256 fingerprint of the
                  server's certificate (AB:CD:..., taken alone), or "insecure"
Passwords are read from the environment only, never from the command line.
QV_NICKSERV_PASSWORD in the environment: identify with NickServ.]==]

local function env_number(name, default)
  return tonumber(os.getenv(name) or "") or default
end

-- Options first or anywhere; what is left are the positional arguments.
local positional, options = {}, {}
do
  local i = 1
  while arg[i] ~= nil do
    local a = arg[i]
    if a == "--utf8" then
      options.utf8 = true
    elseif a == "--sasl" or a == "--sasl-external" or a == "--cert" or a == "--sasl-mechanism" or a == "--admin"
      or a == "--sts-file" then
      local value = arg[i + 1]
      if not value or value == "" then print(usage) host.Quit(2) return end
      if a == "--cert" then
        options.cert = value
      elseif a == "--sasl-mechanism" then
        options.mechanism_named = value:upper()
      elseif a == "--admin" then
        options.admin = value
      elseif a == "--sts-file" then
        options.sts_file = value
      else
        options.sasl_account = value
        options.sasl_mechanism = a == "--sasl-external" and "EXTERNAL" or "PLAIN"
      end
      i = i + 1
    elseif a == "--password" then
      options.password = true
    elseif a == "--no-password" then
      options.no_password = true
    elseif a == "--help" or a == "-h" then
      print(usage) host.Quit(0) return
    elseif a:match("^%-%-") then
      io.stderr:write("unknown option " .. a .. "\n" .. usage .. "\n")
      host.Quit(2)
      return
    else
      positional[#positional + 1] = a
    end
    i = i + 1
  end
end

-- --sasl-mechanism names the mechanism of --sasl (or of --sasl-external).
if options.mechanism_named then
  if not options.sasl_account then
    io.stderr:write("--sasl-mechanism needs --sasl ACCOUNT\n" .. usage .. "\n")
    host.Quit(2)
    return
  end
  options.sasl_mechanism = options.mechanism_named
end

local missing = false
local function required_env(name)
  local value = os.getenv(name)
  if value == nil or value == "" then
    print(("%s is not set; see --help"):format(name))
    missing = true
  end
  return value
end

local settings = {
  server = positional[1] or "127.0.0.1",
  port = tonumber(positional[2]) or 6667,
  nick = positional[3] or "quorvbot",
  user = "quorvane",
  realname = "quorvane example bot",
  channels = positional[4] or "#quorvane",
  -- irc.Connect itself refuses what is neither "insecure" nor a fingerprint.
  tls = positional[5] == "tls" or positional[5],
  sasl_account = options.sasl_account,
  sasl_mechanism = options.sasl_mechanism,
  sasl_password = options.sasl_account and options.sasl_mechanism ~= "EXTERNAL" and required_env("QUORVANE_SASL_PASSWORD")
    or nil,
  -- Empty text is no PASS; nil the module's fixed one.
  server_password = options.password and required_env("QUORVANE_PASSWORD") or options.no_password and "" or nil,
  nickserv_password = os.getenv("QV_NICKSERV_PASSWORD"),
  admin = options.admin,
  -- The module raises IRC_Disconnected whenever the link ends or a connect
  -- fails, and also when the server falls silent (it probes at half this
  -- many seconds). The bot only watches that registration finishes.
  ping_timeout = env_number("QV_BOT_PING_TIMEOUT", 240),
  register_timeout = env_number("QV_BOT_REGISTER_TIMEOUT", 60),
  retry = env_number("QV_BOT_RETRY", 1),           -- first wait before reconnecting
  max_retry = 60,
  rejoin = env_number("QV_BOT_REJOIN", 10),        -- pause before rejoining after a kick
}

local nick = settings.nick  -- the nick asked for while registering
local state = "offline"  -- offline -> registering -> online
local kicked = {}        -- channels we were kicked from on this link (folded)
local waited = 0         -- seconds spent registering
local retry = settings.retry

local function log(fmt, ...)
  print(os.date("%H:%M:%S ") .. fmt:format(...))
end

local function reply(from, target, text)
  -- A message to a channel is answered there; a private one privately.
  local to = target:match("^[#&]") and target or from
  irc.SendMessage(to, text)
end

---------------------------------------------------------------------------
-- commands: "!name args" said in a channel or privately
---------------------------------------------------------------------------
local started = os.time()
local commands = {}
local admin_only = { quit = true }
local link_up = nil  -- when the link came up (the server's welcome), in seconds since 1970

function commands.ping(from, target)
  reply(from, target, "pong")
end

function commands.uptime(from, target)
  reply(from, target, ("up %d s, %s"):format(os.time() - started, irc.GetVersion()))
end

function commands.help(from, target)
  local names = {}
  for name in pairs(commands) do names[#names + 1] = "!" .. name end
  table.sort(names)
  reply(from, target, "commands: " .. table.concat(names, " "))
end

local stop  -- defined below

function commands.quit(from, _, _, account)
  log("!quit from %s (account %s): leaving", from, account)
  stop()
  host.Quit(0)
end

-- The server's status signs, highest first, and those of an operator and
-- above: PREFIX "(qaohv)~&@%+" gives "~&@%+" and "~&@".
local function status_signs()
  local modes, signs = (irc.ISupport("PREFIX") or ""):match("^%((%w*)%)(.*)$")
  if not modes or #modes ~= #signs then modes, signs = "ov", "@+" end
  local at = modes:find("o", 1, true)
  return signs, signs:sub(1, at or 1)
end

-- "!who" in a channel: its operators; privately, those of the channel
-- named (or of our first). A channel never hears of another's.
function commands.who(from, target, rest)
  local channel = target
  if not target:match("^[#&]") then channel = rest:match("^%S+") or (irc.GetChannels() or ""):match("^%S+") or "" end
  local members = irc.GetUsers(channel)
  if not members then return reply(from, target, "I am not in " .. channel) end
  local all, operator = status_signs()
  local ops = {}
  for member in members:gmatch("%S+") do
    local i = 1
    while i <= #member and all:find(member:sub(i, i), 1, true) do i = i + 1 end
    for sign in member:sub(1, i - 1):gmatch(".") do
      if operator:find(sign, 1, true) then
        ops[#ops + 1] = member:sub(i)
        break
      end
    end
  end
  reply(from, target, #ops > 0 and ("operators in %s: %s"):format(channel, table.concat(ops, " "))
    or ("no operators in %s"):format(channel))
end

-- Seconds since 1970 of a server's time stamp, "2026-12-09T20:00:00.000Z"
-- (always UTC); nil for any other text, or none.
local function utc_seconds(stamp)
  if not stamp then return nil end
  local y, m, d, hh, mm, ss = stamp:match("^(%d%d%d%d)%-(%d%d)%-(%d%d)T(%d%d):(%d%d):(%d%d%.?%d*)Z$")
  if not y then return nil end
  y, m, d = tonumber(y), tonumber(m), tonumber(d)
  -- Days from 1970-01-01 to the date, in the proleptic Gregorian calendar.
  if m <= 2 then y = y - 1 end
  local era = math.floor(y / 400)
  local yoe = y - era * 400
  local doy = math.floor((153 * ((m + 9) % 12) + 2) / 5) + d - 1
  local days = era * 146097 + yoe * 365 + math.floor(yoe / 4) - math.floor(yoe / 100) + doy - 719468
  return days * 86400 + tonumber(hh) * 3600 + tonumber(mm) * 60 + tonumber(ss)
end

-- A line's `time` tag read as the module reads the one it hands the chat
-- events: the last tag of the name counts, unescaped; nil when there is
-- none, or it is empty.
local tag_escapes = { [":"] = ";", s = " ", r = "\r", n = "\n" }
local function time_tag(tags)
  local value
  for tag in (tags or ""):gmatch("[^;]+") do
    local name, text = tag:match("^([^=]*)=?(.*)$")
    if name == "time" then value = text end
  end
  value = value and value:gsub("\\(.?)", function(c) return tag_escapes[c] or c end)
  return value ~= "" and value or nil
end

-- How far the server's clock runs ahead of ours (behind when negative),
-- from the latest stamp on a line of its own, whatever the ones before
-- said: its clock may be stepped while we are linked. A bouncer replays
-- chat with its old stamps, but what it says now (our JOIN) carries the
-- time it is. Nil until such a line has come.
local offset = nil

local function note_clock(line, tags)
  local at = utc_seconds(time_tag(tags))
  if not at or line:match("^:%S+ PRIVMSG ") or line:match("^:%S+ NOTICE ") then return end
  offset = at - os.time()
end

-- A line stamped before our link came up (on the server's clock, give or
-- take the stamps' whole seconds) is one a bouncer kept for us and replays
-- now: what it asked for is long past. Until the server's clock is known
-- no stamp can be judged: ours may be far from it.
local function replayed(time)
  local at = offset and utc_seconds(time)
  return at ~= nil and link_up ~= nil and at < link_up + offset - 2
end

hook.Add("IRC_OnChat", "bot.commands", function(from, target, text, account, time)
  -- Without an account tag, what the server told the module of the sender
  -- (extended-join, account-notify, WHOX) still names the account.
  if not account then account = select(4, irc.GetUser(from)) end
  if account or time then
    log("chat %s account=%s time=%s %s: %s", from, account or "-", time or "-", target, text)
  end
  local name, rest = text:match("^!(%w+)%s*(.*)$")
  name = name and name:lower()
  local fn = name and commands[name]
  if not fn then return end
  if replayed(time) then
    log("replayed, not run: %s", text)
    return
  end
  -- Only the server's account tag names who is speaking: anyone may take
  -- a nick while its owner is away. Services match account names in any
  -- case.
  if admin_only[name] and (account == nil or settings.admin == nil or account:lower() ~= settings.admin:lower()) then
    log("!%s from %s refused: not the admin account", name, from)
    return
  end
  log("%s asked %s in %s", from, text, target)
  fn(from, target, rest, account)
end)

---------------------------------------------------------------------------
-- registration
---------------------------------------------------------------------------
local connect  -- defined below

-- The end of the welcome (its MOTD, or the 422 of a server without one)
-- ends registration; the server has named us by then (a bouncer may have
-- given us another nick than we asked for).
hook.Add("IRC_OnRegistered", "bot.join", function(registered_as)
  if state ~= "registering" then return end
  state = "online"
  retry = settings.retry
  log("registered as %s, joining %s", registered_as, settings.channels)
  irc.Join(settings.channels)
end)

hook.Add("IRC_OnNick", "bot.nick", function(old, new)
  if irc.FoldCase(new) == irc.FoldCase(irc.GetNick() or "") then log("the server calls us %s now (was %s)", new, old) end
end)

-- Kicked: back once, after a pause; kicked again, it stays out until the
-- next link.
hook.Add("IRC_OnKick", "bot.rejoin", function(channel, whom, by, reason)
  if irc.FoldCase(whom) ~= irc.FoldCase(irc.GetNick() or "") then return end
  local key = irc.FoldCase(channel)
  if kicked[key] then
    log("kicked from %s again by %s (%s): staying out", channel, by, reason or "no reason")
    return
  end
  kicked[key] = true
  log("kicked from %s by %s (%s); rejoining in %d s", channel, by, reason or "no reason", settings.rejoin)
  timer.Create("bot.rejoin " .. key, settings.rejoin, 1, function()
    if state == "online" then irc.Join(channel) end
  end)
end)

-- A rejoin belongs to the link it was kicked on.
local function forget_kicks()
  for key in pairs(kicked) do timer.Remove("bot.rejoin " .. key) end
  kicked = {}
end

hook.Add("IRC_NickInUse", "bot.nick", function()
  nick = nick .. "_"
  log("nickname taken, trying %s", nick)
  irc.SendRaw("NICK " .. nick)
end)

hook.Add("IRC_ErroneusNick", "bot.nick", function()
  nick = "qvbot" .. math.random(1000, 9999)
  log("nickname refused, trying %s", nick)
  irc.SendRaw("NICK " .. nick)
end)

hook.Add("IRC_OnNickServ", "bot.identify", function(_, _, text)
  local lower = text:lower()
  if settings.nickserv_password and (lower:find("identify", 1, true) or lower:find("registered", 1, true)) then
    log("NickServ asks us to identify")
    irc.NickServ("IDENTIFY " .. settings.nickserv_password)
  end
end)

---------------------------------------------------------------------------
-- reconnecting
---------------------------------------------------------------------------
local function lost(why)
  if state == "offline" then return end
  log("link lost (%s); reconnecting in %d s", why, retry)
  irc.Close()
  state = "offline"
  forget_kicks()
  timer.Create("bot.reconnect", retry, 1, connect)
  retry = math.min(retry * 2, settings.max_retry)
end

-- A refused login ends the bot: the same credentials will be refused again,
-- and networks lock an account, or ban the address, after a few failures.
-- A login that only ran out of time is a loss like any other.
local function login_refused(why)
  return why:match("^SASL login failed: ") and not why:match("did not finish the login")
end

-- Whatever else the reason (a failed connect, a silent server), the bot
-- tries again, waiting longer each time up to a minute: a server that was
-- down comes back.
hook.Add("IRC_Disconnected", "bot.reconnect", function(why)
  if login_refused(why) then
    log("%s; giving up", why)
    state = "offline"
    timer.Remove("bot.reconnect")
    host.Quit(1)
    return
  end
  lost(why)
end)

-- A server that refuses us (a K-line, a full server) says why in an ERROR
-- line before it closes; IRC_Disconnected carries that text.
hook.Add("IRC_RawData", "bot.watch", function(line, tags)
  if line:match("^:%S+ 001 ") then link_up = os.time() end
  note_clock(line, tags)
end)

-- A server that takes the link but never lets us register (it is still
-- starting, say) is left and tried again.
timer.Create("bot.registering", 1, 0, function()
  if state ~= "registering" then return end
  waited = waited + 1
  if waited >= settings.register_timeout then lost("registration did not finish") end
end)

function connect()
  nick = settings.nick
  log("connecting to %s:%d%s as %s", settings.server, settings.port, settings.tls and " (TLS)" or "", nick)
  state, waited, link_up, offset = "registering", 0, os.time(), nil
  irc.SetPingTimeout(settings.ping_timeout)
  irc.SetPassword(settings.server_password)
  if settings.sasl_account then
    irc.SetSASL(settings.sasl_account, settings.sasl_password, settings.sasl_mechanism)
  end
  -- Returns at once: how the connect went comes as IRC_Disconnected if it
  -- failed, as the server's welcome if not. Only a mistake in the
  -- arguments (a port out of range, a damaged fingerprint) is told here,
  -- and trying again cannot mend it.
  local err = irc.Connect(settings.server, settings.port, nick, settings.user, settings.realname, settings.tls)
  if err then
    log("%s; giving up", err)
    state = "offline"
    host.Quit(2)
  end
end

-- Leaves with our own QUIT rather than a dropped link, and reconnects no more.
function stop()
  timer.Remove("bot.reconnect")
  if state ~= "offline" then
    log("shutting down")
    state = "offline"
    irc.Close()
  end
end
-- quorvane-host raises ShutDown on SIGINT and SIGTERM.
hook.Add("ShutDown", "bot.quit", stop)

if missing then
  host.Quit(2)
  return
end
irc.Debug(false)
irc.SetUTF8(options.utf8 == true)
-- What the module refuses here (a mechanism it does not know, a
-- certificate or policy file it cannot read) is a mistake in the arguments.
local refused
if settings.sasl_account then
  refused = irc.SetSASL(settings.sasl_account, settings.sasl_password, settings.sasl_mechanism)
end
if not refused and options.cert then
  -- Read once, now: the module keeps what it read.
  refused = irc.SetClientCert(options.cert, os.getenv("QUORVANE_CERT_PASSWORD"))
end
if not refused and options.sts_file then
  refused = irc.SetStsFile(options.sts_file)
end
if refused then
  log("%s", refused)
  host.Quit(2)
  return
end
connect()
