-- host.CloseModule / host.OpenModule: the module's open/shut lifecycle.
local check = dofile(arg[0]:match("^(.-)[^/]*$") .. "check.lua")
check.deadline(60)
local base = host.Stats().timers

check.ok(host.Stats().open, "module open before the script runs")
local events = 0
hook.Add("IRC_Life", "count", function() events = events + 1 end)

check.steps {
  function(nextstep)
    -- Shut: the module's timer keeps ticking but raises nothing.
    probe.Tick(5, 1, 4, "IRC_Life")
    host.CloseModule()
    check.ok(not host.Stats().open, "closed")
    timer.Create("wait", 0.01, 0, function()
      if host.Stats().timers == base + 1 then  -- the probe's ticker is done
        timer.Remove("wait")
        check.eq(events, 0, "no events while shut")
        nextstep()
      end
    end)
  end,
  function(nextstep)
    local old = probe
    host.OpenModule()
    check.ok(host.Stats().open, "reopened")
    check.ok(probe ~= old, "a fresh table on every open")
    check.eq(probe.Raise("IRC_Life", 2), "2", "events resume")
    check.eq(events, 2, "delivered")
    nextstep()
  end,
  function(nextstep)
    -- Closing from inside an event handler waits until the module's call
    -- returns: the rest of that call still reaches the scripts.
    local during
    hook.Add("IRC_Close", "closer", function()
      if during == nil then
        host.CloseModule()
        during = host.Stats().open
      end
      events = events + 1
    end)
    events = 0
    check.eq(probe.Raise("IRC_Close", 3), "3", "all three delivered")
    check.eq(during, true, "still open inside the handler")
    check.eq(events, 3, "handlers ran for every event of the call")
    check.ok(not host.Stats().open, "closed once the call returned")
    host.OpenModule()
    host.OpenModule()  -- opening twice is allowed
    check.ok(host.Stats().open, "open again")
    check.eq(probe.Raise("IRC_Life", 1), "1", "works after a double open")
    nextstep()
  end,
}
