-- One entry "big.bin" of n bytes 'x': its head as literals, one match of
-- offset 1 repeating the 'x', then five literal 'x's.
local function big_rom(n)
  local head = "big.bin\0" .. "\255" .. string.pack("<I4", n) .. "x"
  local rest = n - 1 - 5 - 4 - 15
  local block = string.char(#head << 4 | 15) .. head .. string.pack("<I2", 1)
    .. string.rep("\255", rest // 255) .. string.char(rest % 255) .. string.char(0x50) .. "xxxxx"
  return "hvx\2" .. string.pack("<I4", #block) .. block
end
local rom = big_rom((64 << 20) - 64)
for i = 1, 25 do store("/r" .. i .. ".hvx.rom", rom) end
