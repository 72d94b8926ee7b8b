-- 6,000 fstat calls a frame, after another process asked for 100,000 mounts
-- (see fstat_mounts.setup.lua).
while true do
  for i = 1, 6000 do fstat("/ram") end
  poke4(0x80, peek4(0x80) + 1)
  flip()
end
