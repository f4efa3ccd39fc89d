-- timer library semantics. No assertion depends on how fast the machine
-- is: the loop always runs the earliest-due timer first, so each check is
-- scheduled to fall due after whatever it checks would have run.
local check = dofile(arg[0]:match("^(.-)[^/]*$") .. "check.lua")
check.deadline(60)
local base = host.Stats().timers  -- the deadline timer

local order = {}
check.steps {
  function(nextstep)
    -- Earlier due runs first, whatever the order of creation.
    timer.Simple(0.03, function() order[#order + 1] = "late"; nextstep() end)
    timer.Simple(0.01, function() order[#order + 1] = "early" end)
  end,
  function(nextstep)
    check.eq(table.concat(order, ","), "early,late", "due order")
    -- A counted timer runs exactly that many times.
    local n = 0
    timer.Create("three", 0.01, 3, function()
      n = n + 1
      if n == 3 then
        check.ok(not timer.Exists("three"), "gone before its last run returns")
        -- A fourth run would fall due long before this check.
        timer.Simple(0.1, function() check.eq(n, 3, "three runs"); nextstep() end)
      end
    end)
  end,
  function(nextstep)
    -- 0 repetitions: runs until removed, here from inside itself.
    local n = 0
    timer.Create("forever", 0.005, 0, function()
      n = n + 1
      if n == 5 then
        timer.Remove("forever")
        timer.Simple(0.1, function() check.eq(n, 5, "removed from its own callback"); nextstep() end)
      end
    end)
  end,
  function(nextstep)
    -- Creating under an existing id replaces the timer.
    local who = {}
    timer.Create("same", 0.01, 0, function() who[#who + 1] = "old" end)
    timer.Create("same", 0.02, 1, function() who[#who + 1] = "new" end)
    timer.Simple(0.2, function()
      check.eq(table.concat(who, ","), "new", "replaced timer never runs")
      nextstep()
    end)
  end,
  function(nextstep)
    -- A failing callback is reported and still counts; other timers go on.
    local n = 0
    timer.Create("failing", 0.01, 2, function() n = n + 1; error("timer callback failed") end)
    timer.Simple(0.2, function() check.eq(n, 2, "failing timer ran both times"); nextstep() end)
  end,
  function(nextstep)
    check.ok(not pcall(timer.Create, "x", -1, 1, print), "negative delay rejected")
    check.ok(not pcall(timer.Create, "x", 0.1, 1.5, print), "fractional repetitions rejected")
    check.ok(not pcall(timer.Create, "x", 0.1, 1, "f"), "non-function rejected")
    check.ok(not pcall(timer.Simple, "soon", print), "Simple needs seconds")
    check.ok(not timer.Exists("x"), "rejected timers not created")
    timer.Remove("never created")
    check.eq(host.Stats().timers, base, "every finished timer left the loop")
    nextstep()
  end,
  function(nextstep)
    -- Script timers and the module's own loop timer share one loop: events
    -- from the module's ticks arrive between script timer callbacks.
    local events = 0
    hook.Add("IRC_Tick", "count", function() events = events + 1 end)
    probe.Tick(5, 2, 3, "IRC_Tick")
    timer.Create("wait", 0.01, 0, function()
      if events == 6 then
        timer.Remove("wait")
        check.eq(host.Stats().timers, base, "module timer stopped too")
        nextstep()
      end
    end)
  end,
  function(nextstep)
    -- A watched descriptor's callback is the module's as a tick is: timed
    -- among the ticks, and what it left pushed is dropped.
    local before = host.Stats()
    hook.Add("IRC_Ready", "count", function(what)
      check.eq(what, "ready", "the watch's event")
      timer.Simple(0.01, function()
        local st = host.Stats()
        check.eq(st.ticks, before.ticks + 1, "the watch's callback timed as a module tick")
        check.eq(st.dropped, before.dropped + 1, "what the watch's callback left is dropped")
        nextstep()
      end)
    end)
    probe.Watch("IRC_Ready")
  end,
}
