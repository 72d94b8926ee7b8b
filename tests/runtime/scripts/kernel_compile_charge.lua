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
printh("kernel: exit")
_signal(33)
while true do flip() end
