-- table.unpack through a chain of 1,990 tables, again and again.
local P = {1}
for d = 1, 1990 do P = setmetatable({}, {__index = P}) end
while true do
  table.unpack(P, 1, 20000)
  poke4(0x80, peek4(0x80) + 1)
end
