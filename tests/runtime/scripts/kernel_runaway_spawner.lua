-- Test kernel: a process that starts runaways one after another owes the
-- cycles each held the host for, so it starts no second one for as long.
printh("kernel: boot")
_signal(37)
for i = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end
local spawner = _create_process_from_code([[
local made = 0
while true do
  _create_process_from_code("while true do pcall(table.sort, {3, 2, 1}, function() while true do end end) end",
                            "runaway", "/ram/runaway.lua")
  made += 1
  poke4(0x80, made)
  flip()
end]], "spawner", "/ram/spawner.lua")
for frame = 1, 60 do
  for id = spawner, spawner + 60 do _run_process_slice(id, 0.3) end
  flip()
end
printh("made " .. _ppeek4(spawner, 0x80) .. ", spawner state " .. _process_state(spawner))
printh("kernel: exit")
_signal(33)
while true do flip() end
