-- A child making and deleting one host folder in an endless loop.
_signal(37)
local child = _create_process_from_code([==[local n = 0 while true do mkdir("/g") _fdelete("/g") n = n + 1 poke4(0x80, n) end]==], "offender", "/ram/offender.lua")
printh("frame")
for frame = 1, 120 do
  _run_process_slice(child, 0.5)
  flip()
  printh("frame")
end
printh("child state " .. tostring(_process_state(child)) .. ", progress " .. _ppeek4(child, 0x80))
_signal(33)
while true do flip() end
