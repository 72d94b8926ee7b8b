-- A replacement that is a host function, over 4 MB, again and again.
local s = string.rep("a", 4 << 20)
while true do
  s:gsub(".", string.upper)
  poke4(0x80, peek4(0x80) + 1)
end
