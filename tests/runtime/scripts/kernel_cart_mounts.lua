-- Test kernel: cartridges still mount in a full mount table, by dropping the
-- least recently used cartridge mount, a changed one written back first.
printh("kernel: boot")
_signal(37)
for i = 1, 2 do _create_process_from_code("while true do flip() end", "sys", "/ram/sys.lua") end
mkdir("/ram/d")
-- The kernel fills the table with path mounts up to the entries kept for the
-- system processes, then frees four entries.
local n = 0
for i = 1, 7930 do mount("/m" .. i, "/ram/d") end
for i = 1, 8200 do if select(3, fstat("/m" .. i)) then n = i end end
for i = 1, 4 do _fdelete("/m" .. i) end
printh("filled with " .. n .. " path mounts, four freed")

-- A program opens ten cartridges; the first is changed before the others.
local child = _create_process_from_code([[
mkdir("/ram/c1.hvx")
store("/ram/c1.hvx/x.txt", "kept", "")
for i = 2, 10 do mkdir("/ram/c" .. i .. ".hvx") end
local standing = 0
-- Newest first: a look at a dropped one mounts it again, dropping another.
for i = 10, 1, -1 do if select(3, fstat("/ram/c" .. i .. ".hvx")) then standing = standing + 1 end end
poke4(0x84, standing)
poke4(0x80, fetch("/ram/c1.hvx/x.txt") == "kept" and 1 or 2)
while true do flip() end]], "carts", "/ram/carts.lua")
local frames = 0
while _ppeek4(child, 0x80) == 0 and frames < 100 do
  _run_process_slice(child, 1)
  flip()
  frames = frames + 1
end
printh("cartridge mounts standing: " .. _ppeek4(child, 0x84))
printh("its change back after being dropped: " .. tostring(_ppeek4(child, 0x80) == 1))
local paths = 0
for i = 5, 8200 do if select(3, fstat("/m" .. i)) then paths = paths + 1 end end
printh("path mounts standing: " .. paths)
local files = 0
for i = 1, 10 do if fstat("/ram/c" .. i .. ".hvx", true) == "file" then files = files + 1 end end
printh("cartridge files: " .. files)
printh("kernel: exit")
_signal(33)
while true do flip() end
