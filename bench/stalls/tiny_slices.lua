-- Eight children looping on the call of nonyield_loop.lua, each given a
-- thousandth of every frame.
local loop = [[
while true do
  string.gsub("a", "a", function() for j = 1, 134217728 do end end)
  poke4(0x80, peek4(0x80) + 1)
end]]
local kids = {}
for i = 1, 8 do kids[i] = _create_process_from_code(loop, "kid", "/ram/kid.lua") end
while true do
  for i = 1, 8 do _run_process_slice(kids[i], 0.001) end
  poke4(0x80, peek4(0x80) + 1)
  flip()
end
