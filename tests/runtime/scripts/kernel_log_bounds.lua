-- Test kernel: what scripts put into log.txt is bounded: a process name
-- with a line break cannot start a line of its own, and the error of a
-- source that is one long bad token is cut.
printh("kernel: boot")
_signal(37)
_create_process_from_code("", "two\n[000001 001] forged line", "/ram/two.lua")
_create_process_from_code("while true do flip() end", "wm", "/ram/wm.lua")  -- takes the reports
local bad = "x = 1" .. string.rep("1", 512 * 1024) .. "z"
for i = 1, 8 do _create_process_from_code(bad, "bad", "/ram/bad.lua") flip() end
printh("kernel: exit")
_signal(33)
while true do flip() end
