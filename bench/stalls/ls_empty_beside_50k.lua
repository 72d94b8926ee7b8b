-- An empty RAM folder listed in a loop beside 50,000 RAM files (see
-- ls_empty_beside_50k.setup.lua).
local n = 0
while true do
  ls("/ram/empty")
  n = n + 1
  poke4(0x80, n)
end
