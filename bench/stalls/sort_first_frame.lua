-- Ordinary work that cannot yield in a program's first frame: a sort of
-- 10,000 values with a Lua comparator. It must finish (progress 1).
local t = {}
for i = 1, 10000 do t[i] = (i * 7919) % 10007 end
table.sort(t, function(a, b) return a < b end)
poke4(0x80, 1)
while true do flip() end
