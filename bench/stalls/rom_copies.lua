-- 25 copies of a 263 KB ROM cartridge holding one 64 MB entry (see
-- rom_copies.setup.lua), each mounted by listing it.
for i = 1, 25 do ls("/r" .. i .. ".hvx.rom") poke4(0x80, i) end
while true do flip() end
