-- stall_frames: every process
-- Each relay asks a launcher that is a system process (as a desktop's is)
-- to start the next relay, a program of its own with nothing owed, and
-- then makes one long call that cannot yield (about 2^27 cycles).
send_message(2, {event = "start"})
poke4(0x80, 1)
string.gsub("a", "a", function() for j = 1, 1 << 26 do end end)
