-- 3,000 nested host folders, paths growing to 6,000 characters.
local p = ""
for i = 1, 3000 do p = p .. "/d" mkdir(p) poke4(0x80, i) end
while true do flip() end
