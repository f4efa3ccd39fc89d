-- The counting handlers, the same in every client of the flood benchmark:
-- one per event, each counting its events and the length of the text that
-- matters, so a client that takes nick or trailing text wrongly shows up
-- against what the server sent. The client sets on_go (first end of MOTD:
-- registered, the flood may start) and on_end (the server's end marker).
local bench = {}

local raw, raw_bytes, chat, chat_bytes, notice, notice_bytes = 0, 0, 0, 0, 0, 0
local nickserv, motd, erroneus, nickinuse = 0, 0, 0, 0
local chat_tagged, tag_bytes = 0, 0  -- chat with an account and a time, and their bytes

hook.Add("IRC_RawData", "bench", function(line)
  raw = raw + 1
  raw_bytes = raw_bytes + #line
end)
hook.Add("IRC_OnChat", "bench", function(nick, _, text, account, time)
  chat = chat + 1
  chat_bytes = chat_bytes + #text
  if account and time then
    chat_tagged = chat_tagged + 1
    tag_bytes = tag_bytes + #account + #time
  end
  if nick == "bench.end" then bench.on_end() end
end)
hook.Add("IRC_OnNotice", "bench", function(_, _, text)
  notice = notice + 1
  notice_bytes = notice_bytes + #text
end)
hook.Add("IRC_OnNickServ", "bench", function() nickserv = nickserv + 1 end)
hook.Add("IRC_EndOfMOTD", "bench", function()
  motd = motd + 1
  if motd == 1 then bench.on_go() end
end)
hook.Add("IRC_ErroneusNick", "bench", function() erroneus = erroneus + 1 end)
hook.Add("IRC_NickInUse", "bench", function() nickinuse = nickinuse + 1 end)

function bench.counts()
  return ("raw=%d raw_bytes=%d chat=%d chat_bytes=%d notice=%d notice_bytes=%d nickserv=%d motd=%d erroneus=%d nickinuse=%d chat_tagged=%d tag_bytes=%d")
    :format(raw, raw_bytes, chat, chat_bytes, notice, notice_bytes, nickserv, motd, erroneus, nickinuse, chat_tagged, tag_bytes)
end

-- Resident set now and at its peak, in KB.
function bench.rss_kb()
  local f = io.open("/proc/self/status")
  local s = f and f:read("*a") or ""
  if f then f:close() end
  return tonumber(s:match("VmRSS:%s*(%d+)")) or 0, tonumber(s:match("VmHWM:%s*(%d+)")) or 0
end

-- Monotonic seconds (host.Clock; LuaSocket's clock for an older host).
bench.clock = host.Clock or require("socket").gettime

function bench.write(path, text)
  local f = assert(io.open(path, "w"))
  f:write(text, "\n")
  f:close()
end

return bench
