-- A folder of 10,000 entries listed every frame, after the kernel made
-- 9,000 cartridges there (see ls_many_mounts.setup.lua).
while true do
  local t = ls("/")
  poke4(0x80, #t)
  flip()
end
