-- The module's side of the registration benchmark: connects through the
-- relay, joins #bench at the welcome, and stays until the run stops it.
--   register.lua PORT
local port = tonumber(arg[1])
hook.Add("IRC_RawData", "register", function(line)
  if line:match("^:%S+ 001 ") then irc.Join("#bench") end
end)
assert(irc.Connect("127.0.0.1", port, "qvbench", "qvbench", "registration") == nil)
