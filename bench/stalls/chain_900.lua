-- Each access walks a chain of 900 tables in one instruction.
local P = {1}
for d = 1, 900 do P = setmetatable({}, {__index = P}) end
local n = 0
while true do
  local r = P[1]
  n = n + 1
  if n % 1000 == 0 then poke4(0x80, n) end
end
