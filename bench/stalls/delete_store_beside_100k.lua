-- One file deleted and stored again in a loop, sorted before 100,000 RAM
-- files (see delete_store_beside_100k.setup.lua).
local n = 0
while true do
  _fdelete("/ram/a.txt")
  store("/ram/a.txt", "x")
  n = n + 1
  poke4(0x80, n)
end
