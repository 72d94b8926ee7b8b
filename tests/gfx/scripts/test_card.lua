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

-- ellipses and rounded rectangles, maps, textured lines, stretched sprites
oval(30, 185, 60, 205, 11)
ovalfill(70, 185, 100, 205, 12)
local l, t, w, h = clip(110, 185, 40, 25)
circfill(130, 197, 8, 14 | 1 << 35) -- everything around it, inside the clip
clip(l, t, w, h)
circ(170, 195, 9, 13)
circfill(195, 195, 9, 9 | 0x5a5a << 16 | 1 << 32)
fillp()
circ(userdata("f64", 3, 2, "220,190,4,230,200,6"))
circfill(userdata("f64", 4, 2, "245,190,3,8,255,200,5,10"))
rrect(270, 185, 30, 20, 6, 7)
rrectfill(305, 185, 30, 20, 4, 15)
fset(5, 2) -- sprite 5 on layer 2
local M = userdata("i16", 4, 2)
_map_ram(M, 0x100000)
mset(0, 0, 5) mset(1, 0, 5 | 0x4000) mset(2, 0, 5 | 0x2000) mset(0, 1, 5 | 0x8000) mset(3, 1, mget(0, 0))
_draw_map(M, 0, 0, 345, 215, 4, 2, 2, 12, 8)
_draw_map(M, 0, 0, 400, 215, 2, 1, fget(5), 24, 16)
tline3d(5, 30, 215, 130, 215, 0, 0, 12, 0)
tline3d(5, 30, 220, 130, 240, 0, 0, 24, 8, 1, 3)
tline3d(userdata("f64", 12, 1, "5,140,215,240,215,0,0,12,8,1,2,1024"))
sspr(5, 0, 0, 12, 8, 250, 215, 36, 24)
sspr(5 | 0x4000, 0, 0, 12, 8, 290, 215, 18, 24)
sspr(userdata("f64", 9, 1, "5,4,0,8,8,315,215,-24,16"))

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
