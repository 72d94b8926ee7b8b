-- A small file of the 128 MB cartridge (see big_cart_autosave.setup.lua)
-- changed every frame: the cartridge is always waiting to be written.
local n = 0
while true do
  n = n + 1
  store("/bc.hvx/t.txt", tostring(n))
  poke4(0x80, n)
  flip()
end
