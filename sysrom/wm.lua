--[[ window manager (/system/wm.lua, process 3)

	The kernel fetches this file and starts it. Its display is a bitmap
	mapped over its display memory and drawn with the graphics calls: a
	frame, the palette, two lines of text in a small font of its own, and a
	pointer sprite that follows the mouse (its colour shows the buttons); the
	last key pressed lights a bar at the bottom, typed text and the wheel
	move a marker along the top.
]]

local W, H = 480, 270
local D = userdata("u8", W, H)
_map_ram(D, 0x10000)
_set_draw_target(D)
poke(0x5508, 63, 63, 63, 63) -- read, write and both target masks
pal()
palt(0) -- every colour opaque
local colours = {
	0x000000, 0x1d2b53, 0x7e2553, 0x008751, 0xab5236, 0x5f574f, 0xc2c3c7, 0xfff1e8,
	0xff004d, 0xffa300, 0xffec27, 0x00e436, 0x29adff, 0x83769c, 0xff77a8, 0xffccaa,
}
for i = 0, 63 do poke4(0x5000 + 4 * i, colours[i % 16 + 1]) end
poke2(0x5478, W, H)
poke(0x547c, 0) -- 480 x 270

-- The font at 0x4000: 3 x 5 glyphs in 4 x 6 cells from code 32, one hex
-- digit a row (top first, bit 0 the leftmost pixel).
local GLYPHS = "00000222025500057575632631421425256220004222412221052500272000021007000000244211755572322734217" ..
	"34243557447134361757742227575775743020200202142124070701242134202255162575535353611163555371317" ..
	"71311615565575572227444525535511117577553555525552353112553635355612437222255556555225577555255" ..
	"55222742176222611244322232500000007120000655613553061164655602716427220656313555203274045215335" ..
	"32227037550355502552035310656405311063432722405556055220557505225056430761742324222221262102540"
poke(0x4000, 4, 8, 6)
for i = 0, #GLYPHS - 1 do
	poke(0x4100 + i // 5 * 8 + i % 5, tonumber(GLYPHS:sub(i + 1, i + 1), 16))
end
poke(0x5f56, 0x40)

-- The pointer: a cross, colour 7 on transparent 0.
local P = userdata("u8", 7, 7)
_set_draw_target(P)
line(3, 0, 3, 6, 7)
line(0, 3, 6, 3, 7)
_set_draw_target(D)
_set_spr(1, P)

local mx, my, mb = W // 2, H // 2, 0
local key, typed, wheel = -1, 0, 0

local function draw()
	cls(0)
	rectfill(8, 8, W - 9, H - 9, 1 | 1 << 35) -- the frame: all around the inside
	for i = 0, 15 do rectfill(16 + i * 28, 24, 39 + i * 28, 47, i) end -- the palette
	local x = 16 + (typed * 6 + wheel * 4) % (W - 40)
	rectfill(x, 56, x + 7, 63, 10)
	_print_qzscii("halvoran workstation", 16, 70, 7)
	_print_qzscii(string.format("mouse %d,%d buttons %d key %d typed %d", mx, my, mb, key, typed), 16, 80, 6)
	if key >= 0 then rectfill(16 + key % 112 * 4, H - 24, 19 + key % 112 * 4, H - 13, 11) end
	palt() -- colour 0 of the pointer is transparent
	pal(7, 7 + mb)
	spr(1 | 0x30000, mx, my) -- centred on the mouse
	pal(7, 7)
	palt(0)
end

_signal(37) -- end the boot screen

-- A rising chime says the workstation is up: unity levels, instruments and
-- tracks from 0x30000 (the default instrument 0 at 0x40000), then track 0
-- at 0x50000: four notes of the default instrument, twelve ticks each, and
-- a row at volume 0 that silences it.
poke(0x5538, 64) poke(0x5539, 64) poke(0x553a, 64) poke(0x553c, 3) poke(0x553d, 3)
local TRACK = 0x50000
local chime = { { 60, 0, 40 }, { 64, 0, 34 }, { 67, 0, 28 }, { 72, 0, 22 }, { 255, 255, 0 } }
poke2(TRACK, #chime)
poke(TRACK + 2, 12)
for r, row in ipairs(chime) do
	for column, v in ipairs(row) do poke(TRACK + 8 + (column - 1) * #chime + r - 1, v) end
end
sfx(0)

-- Redrawn only when input changed something: an idle frame only flips.
local changed = true
local read_message, flip = _read_message, flip
while true do
	local m = read_message()
	while m do
		changed = true
		if m.event == "mouse" then
			mx, my, mb = m.mx, m.my, m.mb
		elseif m.event == "keydown" then
			key = m.scancode
		elseif m.event == "textinput" then
			typed = typed + #m.text
		elseif m.event == "mousewheel" then
			wheel = wheel + m.wheel_y
		end
		m = read_message()
	end
	if changed then draw() end
	changed = false
	flip()
end
