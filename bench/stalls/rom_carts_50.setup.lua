-- One ROM cartridge of about 186 KB (files of noise, which packing does not
-- shrink), written by the machine and copied to /c1..c50.hvx.rom.
mkdir("/src.hvx.rom")
local seed = 1
for f = 1, 3 do
  local t = {}
  for i = 1, 31 * 1024 do
    seed = (seed * 1103515245 + 12345) % 2147483648
    t[i] = string.char(seed >> 16 & 255)
  end
  store("/src.hvx.rom/f" .. f .. ".bin", table.concat(t))
end
_signal(48)
local rom = fetch("/src.hvx.rom")
printh("cartridge file: " .. #rom .. " bytes")
for i = 1, 50 do store("/c" .. i .. ".hvx.rom", rom) end
