-- A small file of the 56 MB PNG cartridge (see png_cart_autosave.setup.lua)
-- changed every frame: the cartridge is always waiting to be written.
local n = 0
while true do
  n = n + 1
  store("/pc.hvx.png/t.txt", tostring(n))
  poke4(0x80, n)
  flip()
end
