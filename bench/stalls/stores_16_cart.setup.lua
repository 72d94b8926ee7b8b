-- Two processes first, so that the offender is an ordinary program (id 4),
-- which owes its write-back.
for _ = 1, 2 do _create_process_from_code("while true do flip() end", "pad", "/ram/pad.lua") end
