-- 50 ROM cartridges of about 186 KB (see rom_carts_50.setup.lua), each
-- mounted by listing it: the frames they take to open.
for i = 1, 50 do ls("/c" .. i .. ".hvx.rom") poke4(0x80, i) end
while true do flip() end
