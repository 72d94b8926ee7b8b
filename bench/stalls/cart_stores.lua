-- A 1-byte store into each of 24 cartridges of 9 MB (see
-- cart_stores.setup.lua), then a listing of "/", over and over.
local n = 0
while true do
  for i = 1, 24 do store("/c" .. i .. ".hvx/n.txt", "x", "") end
  ls("/")
  n = n + 1
  poke4(0x80, n)
end
