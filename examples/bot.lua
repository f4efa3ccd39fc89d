-- A bot to adapt. It joins its channels once registered, picks another
-- nick when its own is taken, identifies with NickServ when asked, answers
-- a few commands, reconnects with a growing back-off when the link is lost
-- or a connect fails, and says goodbye when the host is stopped.
--
--   quorvane-host examples/bot.lua [--utf8] [SERVER [PORT [NICK [CHANNELS [TLS]]]]]
--   quorvane-host examples/bot.lua --help
--
-- --utf8 reads and writes text as UTF-8 (irc.SetUTF8): without it every
-- byte above 0x7F is '?' both ways. CHANNELS is a comma-separated list. TLS is "tls" to connect with TLS,
-- the server's certificate checked (port 6697 on most networks), or
-- "insecure" for TLS to a private server with a self-signed certificate. Set QV_NICKSERV_PASSWORD in the
-- environment to identify with NickServ. The QV_BOT_* variables below tune
-- the link watchdog and the back-off.

local usage = [==[
usage: quorvane-host examples/bot.lua [--utf8] [SERVER [PORT [NICK [CHANNELS [TLS]]]]]
  --utf8    text is UTF-8 both ways (what users of other languages write);
            without it every byte above 0x7F reads and goes out as '?'
  SERVER    default 127.0.0.1; PORT default 6667; NICK default quorvbot
  CHANNELS  comma-separated, default #quorvane
  TLS       "tls" (certificate checked) or "insecure" (self-signed server)
  QV_NICKSERV_PASSWORD in the environment: identify with NickServ]==]

-- Options first, then the positional arguments.
local options, positional = {}, {}
for _, a in ipairs(arg) do
  if a == "--utf8" then
    options.utf8 = true
  elseif a == "--help" or a == "-h" then
    print(usage)
    host.Quit(0)
    return
  elseif a:match("^%-%-") then
    io.stderr:write("unknown option " .. a .. "\n" .. usage .. "\n")
    host.Quit(2)
    return
  else
    positional[#positional + 1] = a
  end
end
arg = positional

local function env_number(name, default)
  return tonumber(os.getenv(name) or "") or default
end

local settings = {
  server = arg[1] or "127.0.0.1",
  port = tonumber(arg[2]) or 6667,
  nick = arg[3] or "quorvbot",
  user = "quorvane",
  realname = "quorvane example bot",
  channels = arg[4] or "#quorvane",
  tls = (arg[5] == "tls" and true) or (arg[5] == "insecure" and "insecure") or nil,
  nickserv_password = os.getenv("QV_NICKSERV_PASSWORD"),
  -- The module raises IRC_Disconnected when the link ends. As a last
  -- resort for a link that hangs without ending, the bot also watches it:
  -- a quiet link gets a PING of our own, and one that stays silent (or
  -- never finishes registering) is closed and connected again.
  keepalive = env_number("QV_BOT_KEEPALIVE", 60),  -- seconds of silence before we PING
  timeout = env_number("QV_BOT_TIMEOUT", 150),     -- seconds of silence before we give up
  retry = env_number("QV_BOT_RETRY", 1),           -- first wait before reconnecting
  max_retry = 60,
}

local nick = settings.nick
local state = "offline"  -- offline -> registering -> online
local quiet = 0          -- seconds since the server last sent a line
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

hook.Add("IRC_OnChat", "bot.commands", function(from, target, text)
  local name, rest = text:match("^!(%w+)%s*(.*)$")
  local fn = name and commands[name:lower()]
  if fn then
    log("%s asked %s in %s", from, text, target)
    fn(from, target, rest)
  end
end)

---------------------------------------------------------------------------
-- registration
---------------------------------------------------------------------------
local connect  -- defined below

-- The end of the MOTD ends registration; a server without a MOTD says
-- 422 instead, which reaches scripts only as raw data.
local function registered()
  if state ~= "registering" then return end
  state = "online"
  retry = settings.retry
  log("registered as %s, joining %s", nick, settings.channels)
  irc.Join(settings.channels)
end
hook.Add("IRC_EndOfMOTD", "bot.join", registered)

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

hook.Add("IRC_OnNickServ", "bot.identify", function(prefix, target, text)
  local lower = text:lower()
  if settings.nickserv_password and (lower:find("identify", 1, true) or lower:find("registered", 1, true)) then
    log("NickServ asks us to identify")
    irc.NickServ("IDENTIFY " .. settings.nickserv_password)
  end
end)

---------------------------------------------------------------------------
-- link watchdog and reconnecting
---------------------------------------------------------------------------
local function lost(why)
  if state == "offline" then return end
  log("link lost (%s); reconnecting in %d s", why, retry)
  irc.Close()
  state = "offline"
  timer.Create("bot.reconnect", retry, 1, connect)
  retry = math.min(retry * 2, settings.max_retry)
end

hook.Add("IRC_Disconnected", "bot.reconnect", function(why) lost(why) end)

hook.Add("IRC_RawData", "bot.watchdog", function(line)
  quiet = 0
  if line:match("^:%S+ 422 ") then registered() end
  if line:match("^ERROR ") then lost(line) end
end)

timer.Create("bot.watchdog", 1, 0, function()
  if state == "offline" then return end
  quiet = quiet + 1
  if quiet == settings.keepalive then
    irc.SendRaw("PING :" .. nick)  -- the answer, like any line, resets `quiet`
  elseif quiet >= settings.timeout then
    lost(state == "registering" and "registration did not finish" or "no answer from the server")
  end
end)

function connect()
  nick = settings.nick
  log("connecting to %s:%d%s as %s", settings.server, settings.port, settings.tls and " (TLS)" or "", nick)
  state, quiet = "registering", 0
  local err = irc.Connect(settings.server, settings.port, nick, settings.user, settings.realname, settings.tls)
  if err then
    -- "Connect failed: ..." (or still connected): try again later.
    log("%s", err)
    lost(err)
  end
end

-- quorvane-host raises ShutDown on SIGINT and SIGTERM: leave with our own
-- QUIT rather than a dropped link.
hook.Add("ShutDown", "bot.quit", function()
  timer.Remove("bot.reconnect")
  if state ~= "offline" then
    log("shutting down")
    state = "offline"
    irc.Close()
  end
end)

irc.Debug(false)
irc.SetUTF8(options.utf8 == true)
connect()
