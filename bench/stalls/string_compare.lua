-- Two 4 MB strings that part at their last byte, compared without end: each
-- comparison reads both whole.
local a = string.rep("x", 4 << 20)
local b = string.rep("x", (4 << 20) - 1) .. "y"
while true do
  local r = a < b
  poke4(0x80, peek4(0x80) + 1)
end
