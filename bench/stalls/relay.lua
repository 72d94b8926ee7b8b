-- stall_frames: every process
-- Each relay starts the next one and then makes one long call that cannot
-- yield (about 2^28 cycles). Every relay is of the same program, so a fresh
-- one must not run while that program still owes for the last call.
_create_process_from_code(fetch("/ram/relay.lua"), "relay", "/ram/relay.lua")
poke4(0x80, 1)
string.gsub("a", "a", function() for j = 1, 134217728 do end end)
