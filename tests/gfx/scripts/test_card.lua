-- A test card: the kernel starts process 3 (the displayed one), which draws
-- with every graphics call once and then only flips; after a few frames the
-- kernel ends the workstation.
local spare = _create_process_from_code("", "[spare]", "/system/spare.lua")
if spare then _run_process_slice(spare, 1) end

local card = _create_process_from_code([[
local D = userdata("u8", 480, 270)
_map_ram(D, 0x10000)
_set_draw_target(D)
poke(0x5508, 63, 63, 63, 63)
pal()
palt(0)
local rgb = {0x000000, 0x1d2b53, 0x7e2553, 0x008751, 0xab5236, 0x5f574f, 0xc2c3c7, 0xfff1e8,
	0xff004d, 0xffa300, 0xffec27, 0x00e436, 0x29adff, 0x83769c, 0xff77a8, 0xffccaa}
for i = 0, 63 do poke4(0x5000 + 4 * i, rgb[i % 16 + 1]) end
poke2(0x5478, 480, 270)

color(5)
cls(1)
camera(-10, -10)
rect(0, 0, 459, 249) -- the colour word: 5
camera()
clip(20, 20, 440, 230)
rectfill(30, 30, 90, 70, 8)
rectfill(100, 30, 160, 70, 9 | 0xa5a5 << 16 | 1 << 32) -- a pattern of 9 and 0
fillp()
local l, t, w, h = clip(170, 30, 61, 41)
rectfill(180, 40, 220, 60, 12 | 1 << 35) -- everything around it, inside the clip
clip(l, t, w, h)
for a = 0, 15 do -- a star of lines
	local x, y = 300 + math.floor(40 * math.cos(a * math.pi / 8)), 60 + math.floor(35 * math.sin(a * math.pi / 8))
	line(300, 60, x, y, 10 + a % 4)
end
line()
line(30, 200)
line(60, 230, 11) -- from the last point
fillp(0x55, 0xaa, 0x55, 0xaa, 0x55, 0xaa, 0x55, 0xaa)
rectfill(30, 100, 90, 130, 3 | 14 << 8)
fillp()
pal(3, 4) -- colour 3 draws as 4
rectfill(100, 100, 130, 130, 3)
pal(0)
for x = 0, 40 do pset(140 + x, 100 + x // 2, x % 16) end
cursor(200, 100)
_print_qzscii("\6:3f7f5077057f7e00\6:00ff00ff00ff00ff", 7)
_print_qzscii("\6:181818ff18181818", 240, 100, 12)

local S = userdata("u8", 12, 8)
_set_draw_target(S)
rectfill(0, 0, 11, 7, 2)
rectfill(0, 0, 3, 3, 7)
pset(11, 7, 0)
_set_draw_target(D)
clip(20, 20, 440, 230)
_set_spr(5, S)
palt(1) -- colour 0 transparent for the sprites
spr(5, 30, 150)
spr(5 | 0x4000, 50, 150)
spr(5, 70, 150, false, true)
spr(S, 90 + 6, 150 + 4, true, true)
spr(5 | 0x30000, 125, 154)
palt(0, false)
palt(4, true) -- colour 4 transparent too
spr(5, 140, 150)
palt(0)
spr(userdata("f64", 3, 3, "5,160,150,5,180,150,49157,200,150"))
pset(userdata("f64", 3, 2, "220,150,7,222,152,8"))
rectfill(userdata("f64", 5, 2, "240,150,250,160,9,260,150,270,160,10"))
line(userdata("f64", 2, 3, "280,150,300,170,320,150"))
blit(D, D, 30, 30, 330, 150, 61, 41) -- the first rectangle, copied
blit(S, nil, 0, 0, 400, 150)
poke(0x10000 + 260 * 480 + 20, pget(300, 60))

_signal(37)
while true do flip() end
]], "card", "/ram/card.lua")
printh("card " .. tostring(card))
for frame = 1, 150 do
	_run_process_slice(card, 0.5)
	flip()
end
_signal(33)
while true do flip() end
