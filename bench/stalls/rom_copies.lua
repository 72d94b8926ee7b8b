-- 25 copies of a 263 KB ROM cartridge holding one 64 MB entry, mounted by ls in a child.
_signal(37)
local function big_rom(n)
  local head = "big.bin\0" .. "\255" .. string.pack("<I4", n) .. "x"
  local rest = n - 1 - 5 - 4 - 15
  local block = string.char(#head << 4 | 15) .. head .. string.pack("<I2", 1)
    .. string.rep("\255", rest // 255) .. string.char(rest % 255) .. string.char(0x50) .. "xxxxx"
  return "hvx\2" .. string.pack("<I4", #block) .. block
end
local rom = big_rom((64 << 20) - 64)
for i = 1, 25 do store("/r" .. i .. ".hvx.rom", rom) end
rom = nil
local child = _create_process_from_code([==[
for i = 1, 25 do local t = ls("/r" .. i .. ".hvx.rom") poke4(0x80, i) poke4(0x84, (peek4(0x84) or 0) + (t and #t or 0)) end
while true do flip() end]==], "offender", "/ram/offender.lua")
printh("frame")
for frame = 1, 120 do
  _run_process_slice(child, 0.5)
  flip()
  printh("frame")
end
printh("child state " .. tostring(_process_state(child)) .. ", mounts tried " .. _ppeek4(child, 0x80))
_signal(33)
while true do flip() end
