-- Ids 2 and 3 taken, so the offender is an ordinary program (id 4).
for i = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end
