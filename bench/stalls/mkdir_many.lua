-- 3,000 host folders side by side.
for i = 1, 3000 do mkdir("/f" .. i) poke4(0x80, i) end
while true do flip() end
