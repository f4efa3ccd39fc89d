-- Logs in with SASL and a server password made at run time (so the script's
-- source holds neither), joins, and waits to be scanned; prints the texts
-- to look for.
local port = tonumber(arg[1])
-- One Lua string each, made from codes: the only copies the script holds.
local function made(codes) return string.char(unpack(codes)) end
local sasl = made({ 0x5a, 0x71, 0x39, 0x2d, 0x73, 0x61, 0x73, 0x6c, 0x2d, 0x70, 0x77, 0x2d, 0x37, 0x37, 0x31 })
local pass = made({ 0x58, 0x77, 0x37, 0x2d, 0x73, 0x72, 0x76, 0x2d, 0x70, 0x77, 0x2d, 0x34, 0x34, 0x32 })
-- string.char builds in a buffer of LuaJIT's own, which keeps the last
-- text made until it is reused: overwritten here, it is not counted.
made({ 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41 })
irc.Debug(false)
irc.SetPassword(pass)
irc.SetSASL("acct", sasl)
-- A print after the login, as real scripts do: LuaJIT binds its first
-- write then, and the dynamic linker saves the registers on the stack.
hook.Add("IRC_EndOfMOTD", "scan", function()
  print("registered")
  irc.Join("#secrets")
end)
irc.Connect("127.0.0.1", port, "bot", "u", "r")
timer.Create("scan.end", 30, 1, function() host.Quit(0) end)
