-- Test kernel: compiling a process source is charged to its creator, so a
-- child that makes a 2 MB process every frame gets to make only a few.
printh("kernel: boot")
_signal(37)
local child = _create_process_from_code([[
local bad = string.rep("x", 2 << 20) .. " ="
local made = 0
while true do
  _create_process_from_code(bad, "bad", "/ram/bad.lua")
  made = made + 1
  poke4(0x80, made)
  flip()
end]], "maker", "/ram/maker.lua")
_create_process_from_code("while true do flip() end", "wm", "/ram/wm.lua")  -- takes the reports
for frame = 1, 120 do
  _run_process_slice(child, 0.5)
  flip()
end
local made = _ppeek4(child, 0x80)
printh("sources compiled in 120 frames: " .. (made <= 4 and "at most 4" or made))
_kill_process(child, 0)

-- A 2 MB source restarting itself every frame pays for each compile too.
local restarter = _create_process_from_code("-- " .. string.rep("x", 2 << 20) .. [[

send_message(1, {event = "started"})
_kill_process(pid(), 1)
while true do flip() end]], "restarter", "/ram/restarter.lua")
local starts = 0
for frame = 1, 120 do
  _run_process_slice(restarter, 0.5)
  local m = _read_message()
  while m do
    if m.event == "started" then starts = starts + 1 end
    m = _read_message()
  end
  flip()
end
printh("restarts in 120 frames: " .. (starts <= 10 and "at most 10" or starts))
printh("kernel: exit")
_signal(33)
while true do flip() end
