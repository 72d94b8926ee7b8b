-- Test kernel: a text that would make more tables than its size allows
-- (one table shared within the writer's bound) is dropped by its reader,
-- which reads on; the kernel survives it.
printh("kernel: boot")
_signal(37)
local r1 = {} for i = 1, 50000 do r1[i] = {} end
local r2 = {} for i = 1, 6 do r2[i] = r1 end
printh("sent " .. select("#", send_message(pid(), {bomb = r2})))
send_message(pid(), {event = "after"})
flip()
local m = _read_message()
printh("read " .. tostring(m and m.event) .. ", then " .. select("#", _read_message()))
printh("kernel: exit")
_signal(33)
while true do flip() end
