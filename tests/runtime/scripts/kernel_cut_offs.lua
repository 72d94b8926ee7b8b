-- Test kernel: a print past its cycle ceiling and a batch past its cost
-- ceiling, each met twice and logged once.
printh("kernel: boot")
_set_draw_target(userdata("u8", 480, 270))
local text, V = string.rep("AAAAAAAAAAAAAAA\n", 250000), userdata("f64", 4, 1, "240,1048626,1048576,7")
for i = 1, 2 do _print_qzscii(text, 0, 0, 7) circfill(V, 0, 100000, 4, 0) flip() end
printh("kernel: exit")
_signal(33)
flip()
