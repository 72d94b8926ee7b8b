-- Test kernel: RAM files are bounded together. Nine small ROM cartridges
-- each unpack to a 63 MB file: the ninth mount is refused (read-only and
-- empty, with a notice), and a write past the bound fails.
printh("kernel: boot")
_signal(37)
-- One entry "big.bin" of n bytes 'x': its head as literals, then a single
-- match of offset 1 repeating the 'x', then five literal 'x's.
local function big_rom(n)
  local head = "big.bin\0" .. "\255" .. string.pack("<I4", n) .. "x"
  local rest = n - 1 - 5 - 4 - 15
  local block = string.char(#head << 4 | 15) .. head .. string.pack("<I2", 1)
    .. string.rep("\255", rest // 255) .. string.char(rest % 255) .. string.char(0x50) .. "xxxxx"
  return "hvx\2" .. string.pack("<I4", #block) .. block
end
local rom = big_rom(63 << 20)
for i = 1, 9 do store("/b" .. i .. ".hvx.rom", rom) end
rom = nil
local listed = {}
for i = 1, 9 do
  local t = ls("/b" .. i .. ".hvx.rom")
  listed[i] = t and #t or -1
end
printh("entries: " .. table.concat(listed, " "))
printh("into the ninth: " .. tostring((store("/b9.hvx.rom/x.txt", "x", ""))))
printh("past the bound: " .. tostring((store("/ram/w.bin", string.rep("x", 9 << 20), ""))))
printh("below it: " .. tostring((store("/ram/v.bin", "x", ""))))
printh("kernel: exit")
_signal(33)
while true do flip() end
