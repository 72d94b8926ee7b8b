-- The history of a file with 1,500 versions asked in a loop: its content
-- now and its change times today (see history_1500.setup.lua).
local n = 0
local now = date("%Y-%m-%d_%H:%M:%S")
while true do
  _fetch_anywhen("/hv.txt @ " .. now)
  _list_anywhen_by_day("/hv.txt @ " .. now:sub(1, 10))
  n = n + 1
  poke4(0x80, n)
end
