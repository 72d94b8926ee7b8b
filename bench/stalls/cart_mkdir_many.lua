-- 9,000 empty cartridges made side by side by mkdir, each one a mount.
for i = 1, 9000 do mkdir("/cf" .. i .. ".hvx") poke4(0x80, i) end
while true do flip() end
