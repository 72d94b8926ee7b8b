-- A sort whose comparator is a host function, again and again.
local t = {}
for i = 1, 1000000 do t[i] = i end
while true do
  table.sort(t, rawequal)
  poke4(0x80, peek4(0x80) + 1)
end
