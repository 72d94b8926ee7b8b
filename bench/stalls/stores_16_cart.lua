-- Sixteen stores of 8 MB into a text cartridge, one after the other, as a
-- program building a big cartridge in steps does (compare stores_16_ram):
-- the frame of the last store shows what the cartridge's write-back cost
-- the program.
local RAW = '--[[vyn_format="raw",metadata_format="none"]]'
local s = ("ab\0"):rep(8 * 1024 * 1024 // 3)
mkdir("/g.hvx")
for i = 1, 16 do
  store("/g.hvx/big" .. i .. ".bin", s, RAW)
  poke4(0x80, i)
end
