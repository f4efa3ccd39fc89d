-- Assertions for host tests: failures go to stderr, the exit status tells.
local check = { failures = 0 }

local function fail(what, detail)
  check.failures = check.failures + 1
  io.stderr:write("FAIL ", what, detail and (": " .. detail) or "", "\n")
end

function check.eq(got, want, what)
  if got ~= want then fail(what, ("got %q, want %q"):format(tostring(got), tostring(want))) end
end

function check.ok(cond, what)
  if not cond then fail(what) end
end

function check.finish()
  if check.failures == 0 then print("ok") end
  io.stdout:flush()
  host.Quit(check.failures == 0 and 0 or 1)
end

-- A test that loses its way still ends, failed, instead of hanging.
function check.deadline(seconds)
  timer.Create("check.deadline", seconds, 1, function()
    fail("deadline", "test did not finish within " .. seconds .. " s")
    host.Quit(1)
  end)
end

-- Runs steps one after another, each in its own loop callback.
function check.steps(list)
  local i = 0
  local function nextstep()
    i = i + 1
    local step = list[i]
    if step == nil then return check.finish() end
    step(nextstep)
  end
  timer.Simple(0, nextstep)
end

return check
