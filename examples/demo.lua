-- The demo bot: connects, joins a channel, talks with whoever is there,
-- and leaves when told "!bye" (or when its time is up).
--
--   quorvane-host examples/demo.lua SERVER PORT CHANNEL NICK [SECONDS]
local server, port, channel, nick, seconds = ...
server = server or "127.0.0.1"
port = tonumber(port) or 6667
channel = channel or "#quorvane"
nick = nick or "quorvbot"
seconds = tonumber(seconds) or 30

local function say(text)
  print(("<%s> %s"):format(nick, text))
  irc.SendMessage(channel, text)
end

local function leave(why)
  print("-- leaving: " .. why)
  irc.Close()
  timer.Simple(0.2, function() host.Quit(0) end)
end

-- The module echoes every server line to the console by default; the demo
-- shows the conversation instead.
irc.Debug(false)

hook.Add("IRC_EndOfMOTD", "demo", function()
  print("-- registered with the server as " .. nick .. ", joining " .. channel)
  irc.Join(channel)
  timer.Simple(0.5, function() say("hello, I am a quorvane bot (" .. irc.GetVersion() .. "). Try !ping or !time") end)
end)

hook.Add("IRC_OnChat", "demo", function(from, target, text)
  if text:byte(1) == 1 then
    print(("-- %s sent a CTCP %s; the module answers it by itself"):format(from, text:gsub("\1", "")))
    return
  end
  print(("<%s:%s> %s"):format(from, target, text))
  local reply_to = target == nick and from or channel
  if text == "!ping" then
    say("pong, " .. from)
  elseif text == "!time" then
    say("it is " .. os.date("!%H:%M:%S") .. " UTC")
  elseif text == "!bye" then
    say("bye, " .. from .. "!")
    leave(from .. " said !bye")
  elseif text:lower():find(nick:lower(), 1, true) then
    if reply_to == channel then
      say("hi " .. from .. ", you said: " .. text)
    else
      print(("<%s -> %s> %s"):format(nick, from, "got your private message"))
      irc.SendMessage(from, "got your private message")
    end
  end
end)

hook.Add("IRC_NickInUse", "demo", function()
  nick = nick .. "_"
  print("-- nickname taken, trying " .. nick)
  irc.SendRaw("NICK " .. nick)
end)

-- How a connect that did not come up (or a link that ended) is told.
hook.Add("IRC_Disconnected", "demo", function(why)
  print("-- disconnected: " .. why)
  host.Quit(1)
end)

print(("-- connecting to %s:%d as %s"):format(server, port, nick))
-- Returns at once; only arguments that cannot work are refused here.
local err = irc.Connect(server, port, nick, "quorvane", "quorvane demo bot")
if err ~= nil then
  print("-- connect failed: " .. err)
  host.Quit(1)
end
timer.Simple(seconds, function() leave("time is up") end)
