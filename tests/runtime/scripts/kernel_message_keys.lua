-- Test kernel: a table with many keys is sent whole; one that cannot be
-- written is not sent and its sender hears why.
printh("kernel: boot")
_signal(37)
local t = {}
for i = 1, 150000 do t["k" .. i] = i end
printh("sent " .. select("#", send_message(pid(), {big = t})))
local m = _read_message()
local n = 0
for _ in pairs(m.big) do n = n + 1 end
printh("keys " .. n .. ", k150000 = " .. m.big.k150000)
local c = {} c.c = c
local ok, why = send_message(pid(), {c = c})
printh(tostring(ok) .. ": " .. why .. "; queued " .. select("#", _read_message()))
printh("kernel: exit")
_signal(33)
while true do flip() end
