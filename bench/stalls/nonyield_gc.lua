-- The same through finalizers: 16 of 2^24 iterations each, run by a full
-- collection, again and again.
while true do
  for i = 1, 16 do setmetatable({}, {__gc = function() for j = 1, 16777216 do end end}) end
  collectgarbage()
  poke4(0x80, peek4(0x80) + 1)
end
