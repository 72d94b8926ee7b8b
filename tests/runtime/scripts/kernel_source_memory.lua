-- Test kernel: the copy of its source a process keeps (for a restart) counts
-- against that process.
printh("kernel: boot")
_signal(37)
local src = "-- " .. string.rep("c", 6 << 20) .. "\nwhile true do flip() end"
local child = _create_process_from_code(src, "big source", "/ram/big.lua")
src = nil
local memory
for _, e in ipairs(_get_process_list()) do if e.id == child then memory = e.memory end end
printh("child holds its 6 MB source: " .. tostring(memory > 6 << 20))
printh("kernel: exit")
_signal(33)
while true do flip() end
