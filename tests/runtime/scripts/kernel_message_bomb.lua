-- Test kernel: a small text that would make a million tables is dropped by
-- its reader, which reads on; the kernel survives it.
printh("kernel: boot")
_signal(37)
local r1 = {} for i = 1, 100 do r1[i] = {} end
local r2 = {} for i = 1, 100 do r2[i] = r1 end
local r3 = {} for i = 1, 100 do r3[i] = r2 end
printh("sent " .. select("#", send_message(pid(), {bomb = r3})))
send_message(pid(), {event = "after"})
flip()
local m = _read_message()
printh("read " .. tostring(m and m.event) .. ", then " .. select("#", _read_message()))
printh("kernel: exit")
_signal(33)
while true do flip() end
