-- Test kernel: a process source is loaded whole, by its length: a NUL in a
-- string or a comment is part of it, one in the code is a syntax error.
printh("kernel: boot")
_signal(37)
local ok = _create_process_from_code("s = 'a\0b' -- c\0d\nprinth('child: ' .. #s .. ' ' .. s:byte(2))",
                                     "nul", "/ram/nul.lua")
_run_process_slice(ok, 1)
local wm = _create_process_from_code([[
while true do
  local m = _read_message()
  while m do printh("wm: " .. m.content) m = _read_message() end
  flip()
end]], "wm", "/ram/wm.lua")
local bad = _create_process_from_code("x = 1 \0 printh('not reached')", "nulcode", "/ram/nulcode.lua")
printh("nul in the code: " .. tostring(bad))
_run_process_slice(wm, 1)
printh("kernel: exit")
_signal(33)
while true do flip() end
