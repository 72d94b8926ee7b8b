-- Test kernel: a process that never yields is suspended by its budget each
-- frame while the kernel keeps running.
printh("kernel: boot")
_signal(37)
local spin = _create_process_from_code("while true do end", "spin", "/ram/spin.lua")
for frame = 1, 4 do
  local a = table.pack(_run_process_slice(spin, 0.5))
  local b = table.pack(_run_process_slice(spin, 1))
  local c = table.pack(_run_process_slice(spin, 1))
  printh("frame " .. frame .. ": " .. tostring(a[1]) .. " " .. a[2] .. ", " .. tostring(b[1]) .. " " .. b[2]
         .. ", " .. tostring(c[1]) .. " " .. c[2] .. ", state " .. _process_state(spin))
  flip()
end
printh("kernel: exit")
_signal(33)
flip()
