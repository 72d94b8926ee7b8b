-- A child listing a host folder of 1,500 entries 500 times.
_signal(37)
local child = _create_process_from_code([==[mkdir("/L") for i = 1, 1500 do mkdir("/L/" .. i) end for j = 1, 500 do ls("/L") poke4(0x80, j) end while true do flip() end]==], "offender", "/ram/offender.lua")
printh("frame")
for frame = 1, 120 do
  _run_process_slice(child, 0.5)
  flip()
  printh("frame")
end
printh("child state " .. tostring(_process_state(child)) .. ", progress " .. _ppeek4(child, 0x80))
_signal(33)
while true do flip() end
