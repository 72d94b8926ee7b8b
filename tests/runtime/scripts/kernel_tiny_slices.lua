-- Test kernel: a process gives tiny slices to 8 children that loop on a
-- call that cannot yield (2^23 cycles a call). The first child's call fills
-- the frame, so no other child runs in it; the giver owes what the call ran
-- past its slice, and hands out no slice until that is paid.
printh("kernel: boot")
_signal(37)
for i = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end
local giver = _create_process_from_code([==[
local loop = [[
while true do
  poke4(0x80, peek4(0x80) + 1)
  string.gsub("a", "a", function() for j = 1, 1 << 22 do end end)
end]]
local kids = {}
for i = 1, 8 do kids[i] = _create_process_from_code(loop, "kid", "/ram/kid.lua") end
poke4(0x84, kids[1])
local frames = 0
while true do
  local said = {}
  for i = 1, 8 do
    local done, cpu = _run_process_slice(kids[i], 0.001)
    said[i] = tostring(done) .. " " .. math.floor(cpu * 279620 + 0.5)
  end
  frames += 1
  if frames == 1 then printh("frame 1: " .. table.concat(said, ", ") .. "; frame " .. stat(301)) end
  poke4(0x80, frames)
  flip()
end]==], "giver", "/ram/giver.lua")
for frame = 1, 60 do
  _run_process_slice(giver, 0.5)
  flip()
end
local first, calls = _ppeek4(giver, 0x84), 0
for id = first, first + 7 do calls += _ppeek4(id, 0x80) end
printh("60 frames: the giver ran " .. _ppeek4(giver, 0x80) .. ", its children made " .. calls .. " calls")
printh("kernel: exit")
_signal(33)
while true do flip() end
