-- Test kernel: an ordinary program's cartridges stop short of the mount
-- entries kept for the system processes, even while it holds the atomic
-- operation so that none of them can be written back and dropped.
printh("kernel: boot")
_signal(37)
for i = 1, 2 do _create_process_from_code("while true do flip() end", "sys", "/ram/sys.lua") end
mkdir("/ram/d")
store("/ram/file.hvx", "")  -- a cartridge file, mounted on first use

local holder = _create_process_from_code([[
_signal(40)
local made, refused = 0, 0
for i = 1, 8400 do
  if mkdir("/ram/c" .. i .. ".hvx") == nil then made = made + 1 else refused = refused + 1 end
end
-- Nothing under a cartridge that can not be mounted reaches the RAM folder around it.
local stored = store("/ram/file.hvx/x.txt", "lost") == nil or fetch("/ram/file.hvx/x.txt") ~= nil
poke4(0x84, refused)
poke4(0x88, stored and 1 or 2)
poke4(0x80, made)
while not fetch("/ram/go") do flip() end
_signal(41)]], "holder", "/ram/holder.lua")
local frames = 0
while _ppeek4(holder, 0x80) == 0 and frames < 2000 do
  _run_process_slice(holder, 1)
  flip()
  frames = frames + 1
end
printh("cartridges made " .. _ppeek4(holder, 0x80) .. ", refused " .. _ppeek4(holder, 0x84) ..
       ", a write under a refused one kept: " .. tostring(_ppeek4(holder, 0x88) == 1))
printh("under the cartridge file: " .. tostring((fstat("/ram/file.hvx/x.txt"))))

-- The system's own mounts and cartridges still go in.
mount("/k", "/ram/d")
printh("the kernel's mount: " .. tostring((fstat("/k"))))
printh("the kernel's cartridge: " .. tostring(mkdir("/ram/k.hvx") == nil) .. " " .. tostring((fstat("/ram/k.hvx"))))

-- Once the holder ends, another program's cartridge opens: a changed one
-- is written back and dropped for it.
store("/ram/go", "1")
for i = 1, 3 do _run_process_slice(holder, 1) flip() end
local other = _create_process_from_code([[
mkdir("/ram/other.hvx")
store("/ram/other.hvx/y.txt", "kept")
poke4(0x80, fetch("/ram/other.hvx/y.txt") == "kept" and 1 or 2)
while true do flip() end]], "other", "/ram/other.lua")
frames = 0
while _ppeek4(other, 0x80) == 0 and frames < 100 do
  _run_process_slice(other, 1)
  flip()
  frames = frames + 1
end
printh("another program's cartridge opens: " .. tostring(_ppeek4(other, 0x80) == 1))
printh("kernel: exit")
_signal(33)
while true do flip() end
