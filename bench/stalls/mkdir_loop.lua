-- Making and deleting one host folder in an endless loop.
local n = 0
while true do mkdir("/g") _fdelete("/g") n = n + 1 poke4(0x80, n) end
