-- Test kernel: heavy work inside one call that cannot yield finishes (a sort
-- of a million numbers with a Lua comparator, a gsub callback over 10 MB);
-- an endless comparator still ends with the error.
printh("kernel: boot")
_signal(37)
local t = {}
for i = 1, 1000000 do t[i] = (i * 7919) % 1000003 end
local ok, err = pcall(table.sort, t, function(a, b) return a < b end)
local sorted = ok
for i = 2, #t do sorted = sorted and t[i - 1] <= t[i] end
printh("sort of " .. #t .. ": " .. tostring(sorted) .. " " .. tostring(err))
t = nil
flip()
local s = string.rep("0123456789", 1 << 20)
local calls = 0
ok, err = pcall(string.gsub, s, ".", function() calls = calls + 1 end)
printh("gsub over " .. #s .. ": " .. tostring(ok) .. ", " .. calls .. " calls")
s = nil
flip()
ok, err = pcall(table.sort, {3, 2, 1}, function() while true do end end)
printh("endless comparator: " .. tostring(ok) .. " " .. err:match("out of cycles.*$"))
printh("kernel: exit")
_signal(33)
while true do flip() end
