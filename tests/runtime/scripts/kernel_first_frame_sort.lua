-- Test kernel: an ordinary program's work that cannot yield, in its first
-- frames: a sort of 10,000 values with a Lua comparator finishes within a
-- young program's allowance.
printh("kernel: boot")
_signal(37)
for i = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end
local sorter = _create_process_from_code([[
local t = {}
for i = 1, 10000 do t[i] = (i * 7919) % 10007 end
table.sort(t, function(a, b) return a < b end)
poke4(0x80, 1)
local ordered = true
for i = 2, #t do ordered = ordered and t[i - 1] < t[i] end
send_message(1, {event = "sorted", ordered = ordered})
while true do flip() end]], "sorter", "/ram/sorter.lua")
local sorted_in, m = nil, nil
for frame = 1, 60 do
  flip()
  _run_process_slice(sorter, 1)
  if not sorted_in and _ppeek4(sorter, 0x80) == 1 then sorted_in = frame end
  m = m or _read_message()
end
printh("sorter " .. sorter .. ": sorted in frame " .. tostring(sorted_in) .. ", in order " .. tostring(m and m.ordered)
  .. ", state " .. _process_state(sorter))
printh("kernel: exit")
_signal(33)
while true do flip() end
