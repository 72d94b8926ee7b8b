-- Test kernel: heavy work inside one call that cannot yield finishes (a sort
-- of a million numbers with a Lua comparator, a gsub callback over 10 MB);
-- an endless one ends its process.
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
-- An endless comparator or replacement ends its process even when caught:
-- nothing after the catch runs, and the kernel is told it completed. (The
-- first process stands in for the window manager, whose end is fatal.)
_create_process_from_code("while true do flip() end", "wm", "/ram/wm.lua")
for _, call in ipairs({"table.sort, {3, 2, 1}", "string.gsub, 'abc', '%w'"}) do
  local id = _create_process_from_code("while true do pcall(" .. call ..
    ", function() while true do end end) poke(0x80, 1) end", "runaway", "/ram/runaway.lua")
  _run_process_slice(id, 0.5)
  local m = _read_message()
  printh("endless " .. call:match("%w+%.%w+") .. " caught: state " .. _process_state(id) .. ", " ..
    tostring(m and m.proc_id == id and m.event))
  flip()
end
printh("kernel: exit")
_signal(33)
while true do flip() end
