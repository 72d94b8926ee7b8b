-- Ids 2 and 3 taken, so the first relay is an ordinary program (id 4);
-- each relay starts the next from this file.
for i = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end
store("/ram/relay.lua", offender_code, "")
