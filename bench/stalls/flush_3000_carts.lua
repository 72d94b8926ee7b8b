-- 3,000 cartridges marked changed, then written by one flush, in a loop
-- (see flush_3000_carts.setup.lua).
local n = 0
while true do
  for i = 1, 3000 do mkdir("/ram/c" .. i .. ".hvx") end
  _signal(48)
  n = n + 1
  poke4(0x80, n)
end
