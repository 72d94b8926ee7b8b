-- One child asks for 100,000 mounts; another then makes 6,000 fstat calls a frame.
_signal(37)
local m = _create_process_from_code([==[for i = 1, 100000 do mount("/mnt" .. i, "/ram") poke4(0x80, i) end while true do flip() end]==], "mounter", "/ram/m.lua")
for i = 1, 400 do _run_process_slice(m, 1) flip() end
local child = _create_process_from_code([==[local n = 0 while true do for i = 1, 6000 do fstat("/ram") end n = n + 1 poke4(0x80, n) flip() end]==], "offender", "/ram/offender.lua")
printh("frame")
for frame = 1, 120 do
  _run_process_slice(child, 0.5)
  flip()
  printh("frame")
end
printh("mount calls " .. _ppeek4(m, 0x80) .. ", fstat rounds " .. _ppeek4(child, 0x80))
_signal(33)
while true do flip() end
