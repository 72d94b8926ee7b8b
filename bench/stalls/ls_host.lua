-- A host folder of 1,500 entries listed 500 times.
mkdir("/L")
for i = 1, 1500 do mkdir("/L/" .. i) end
for j = 1, 500 do ls("/L") poke4(0x80, j) end
while true do flip() end
