-- A child making 3,000 host folders side by side.
_signal(37)
local child = _create_process_from_code([==[for i = 1, 3000 do mkdir("/f" .. i) poke4(0x80, i) end while true do flip() end]==], "offender", "/ram/offender.lua")
printh("frame")
for frame = 1, 120 do
  _run_process_slice(child, 0.5)
  flip()
  printh("frame")
end
printh("child state " .. tostring(_process_state(child)) .. ", progress " .. _ppeek4(child, 0x80))
_signal(33)
while true do flip() end
