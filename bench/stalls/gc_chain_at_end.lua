-- A finalizer that never ends, run when the program returns: each of its
-- accesses walks a chain of 100 tables.
local P = {1}
for d = 1, 100 do P = setmetatable({}, {__index = P}) end
setmetatable({}, {__gc = function() while true do local r = P[1] end end})
poke4(0x80, 1)
