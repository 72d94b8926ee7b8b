-- Each of the 50 cartridges of flush_50_carts.setup.lua changed, then all
-- written at once by the flush signal, every 30th frame.
local n = 0
while true do
  n = n + 1
  for i = 1, 50 do store("/f" .. i .. ".hvx/main.lua", "print(" .. n .. ")", "") end
  _signal(39)
  poke4(0x80, n)
  for _ = 1, 30 do flip() end
end
