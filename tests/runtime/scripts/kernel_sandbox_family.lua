-- Test kernel: a process made by a sandboxed one is sandboxed too and never
-- gets the system flag, whatever path and sandbox text it is given.
printh("kernel: boot")
_signal(37)
local S = _create_process_from_code([[
local a = _create_process_from_code("send_message(1, {from = 'a'}) while true do flip() end", "a", "/system/apps/a.lua")
local b = _create_process_from_code("send_message(1, {from = 'b'}) while true do flip() end", "b", "/system/b.lua", "other")
send_message(1, {from = "s", a = a, b = b})
while true do flip() end
]], "s", "/system/s.lua", "sb")
-- Messages from the processes; the kernel's "child_completed" notes are skipped.
local function next_message()
  local m = _read_message()
  while m and not m.from do m = _read_message() end
  return m
end
_run_process_slice(S, 1)
local m = next_message()
local a, b = m.a, m.b
printh("s: flags " .. m._flags)
_run_process_slice(a, 1)
_run_process_slice(b, 1)
for i = 1, 2 do
  m = next_message()
  printh(m.from .. ": flags " .. m._flags)
end
printh("family: " .. tostring(_immediate_sandboxed_family(a, S)) .. " " ..
       tostring(_immediate_sandboxed_family(b, S)))
local c = _create_process_from_code("send_message(1, {from = 'c'})", "c", "/system/c.lua")
_run_process_slice(c, 1)
m = next_message()
printh("made by the kernel: flags " .. m._flags)
printh("kernel: exit")
_signal(33)
while true do flip() end
