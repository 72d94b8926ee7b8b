-- Sixteen stores of 8 MB into a RAM folder: the control for stores_16_cart.
local RAW = '--[[vyn_format="raw",metadata_format="none"]]'
local s = ("ab\0"):rep(8 * 1024 * 1024 // 3)
mkdir("/ram/g")
for i = 1, 16 do
  store("/ram/g/big" .. i .. ".bin", s, RAW)
  poke4(0x80, i)
end
