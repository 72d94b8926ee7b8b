-- Test kernel: a process that fails at run time is removed and reported to
-- the window manager, a source that does not compile makes no process, and
-- the kernel goes on.
printh("kernel: boot")
_signal(37)
_run_process_slice(_create_process_from_code("", "dummy", "/ram/dummy.lua"), 1)

local wm = _create_process_from_code([[
while true do
  local m = _read_message()
  while m do
    if m.event == "report_error" then
      send_message(1, {event = "relay", content = m.content, from = m._from})
    end
    m = _read_message()
  end
  flip()
end]], "wm", "/system/wm.lua")

local bad = _create_process_from_code("flip() local t = nil t.x = 1", "bad", "/ram/bad.lua")
local broken = _create_process_from_code("x = = 1", "broken", "/ram/broken.lua")
printh("bad " .. bad .. ", broken " .. tostring(broken))

for frame = 1, 3 do
  if bad then
    local done, cpu, err = _run_process_slice(bad, 0.5)
    if err then
      printh("frame " .. frame .. ": bad dropped: " .. err)
      bad = nil
    end
  end
  _run_process_slice(wm, 0.5)
  local m = _read_message()
  while m do
    if m.event == "relay" then
      printh("frame " .. frame .. ": report from " .. m.from .. ": " .. m.content:match("[^\n]*"))
    else
      printh("frame " .. frame .. ": " .. m.event .. " " .. m.proc_id)
    end
    m = _read_message()
  end
  flip()
end
printh("kernel: still running")
_signal(33)
flip()
