-- Test kernel: host folder calls are charged, so a child looping on mkdir
-- and _fdelete is suspended by its budget each frame like any other loop.
printh("kernel: boot")
_signal(37)
local child = _create_process_from_code([[
local n = 0
while true do
  mkdir("/g") _fdelete("/g")
  n = n + 1
  poke4(0x80, n)
end]], "churn", "/ram/churn.lua")
local most, ran, last = 0, true, 0
for frame = 1, 10 do
  _run_process_slice(child, 0.5)
  local n = _ppeek4(child, 0x80)
  if n - last > most then most = n - last end
  if n == last or _process_state(child) ~= 0 then ran = false end
  last = n
  flip()
end
printh("suspended and resumed each frame: " .. tostring(ran))
printh("loops in a half slice: " .. (most <= 100 and "at most 100" or most))
printh("kernel: exit")
_signal(33)
while true do flip() end
