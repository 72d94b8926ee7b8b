-- Test kernel: the mounts that `mount` holds at once are capped, all
-- processes together; removing one makes room again.
printh("kernel: boot")
_signal(37)
local child = _create_process_from_code([[
mkdir("/ram/d")
for i = 1, 300 do mount("/mnt" .. i, "/ram/d") end
poke4(0x80, 1)
while true do flip() end]], "mounter", "/ram/mounter.lua")
while _ppeek4(child, 0x80) == 0 do _run_process_slice(child, 1) flip() end
printh("256: " .. tostring((fstat("/mnt256"))) .. ", 257: " .. tostring((fstat("/mnt257"))))
mount("/k1", "/ram/d")
printh("the kernel's: " .. tostring((fstat("/k1"))))
_fdelete("/mnt1")
mount("/k2", "/ram/d")
printh("after one is removed: " .. tostring((fstat("/k2"))))
printh("kernel: exit")
_signal(33)
while true do flip() end
