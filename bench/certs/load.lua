-- The certificate benchmark's script (bench/certs/run.sh runs it): how long
-- irc.SetClientCert holds the host's thread for each file, the first file
-- (an ordinary one) the baseline. Each file is loaded ROUNDS times, in
-- turns; the median and the longest are reported, and the outcome.
--   load.lua ROUNDS PASSWORD FILE...
local rounds, password = tonumber(arg[1]), arg[2]
local files, times, outcomes = {}, {}, {}
for i = 3, #arg do
  files[#files + 1] = arg[i]
  times[arg[i]] = {}
end

irc.Debug(false)
for _ = 1, rounds do
  for _, file in ipairs(files) do
    local before = host.Clock()
    local err = irc.SetClientCert(file, password)
    local took = host.Clock() - before
    table.insert(times[file], took * 1000)
    outcomes[file] = err or "loaded"
  end
end

local function median(t)
  table.sort(t)
  return t[math.floor((#t + 1) / 2)], t[#t]
end

local base = median(times[files[1]])
for _, file in ipairs(files) do
  local mid, longest = median(times[file])
  print(("%-20s median %8.1f ms  longest %8.1f ms  %6.1fx baseline  %s"):format(
    file:match("[^/]+$"), mid, longest, mid / base, outcomes[file]))
end
host.Quit(0)
