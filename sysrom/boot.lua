--[[ kernel (/system/boot.lua, process 1)

	Creates the programs, gives each a share of every frame, removes those
	that end, reads its own messages and ends the frame with flip().
	The window manager is process 3. When no program is left running the
	workstation shuts down.
]]

printh("kernel: boot")

-- Id 2 is used up by a program that ends at once, so the window manager
-- gets id 3 and the second place in the process table.
local spare = _create_process_from_code("", "[spare]", "/system/spare.lua")
if spare then _run_process_slice(spare, 1) end

-- The window manager (process 3). It sets its palette and colour remap,
-- draws a picture into its display memory, ends the boot screen and shows
-- that host input arrives: a pointer follows the mouse (its colour shows the
-- buttons), the last key pressed lights a bar at the bottom, typed text and
-- the wheel move a marker along the top.
local WM_SOURCE = [==[
local W, H = 480, 270
local DISPLAY = 0x10000

local colours = {
	0x000000, 0x1d2b53, 0x7e2553, 0x008751, 0xab5236, 0x5f574f, 0xc2c3c7, 0xfff1e8,
	0xff004d, 0xffa300, 0xffec27, 0x00e436, 0x29adff, 0x83769c, 0xff77a8, 0xffccaa,
}
for i = 0, 63 do
	poke4(0x5000 + 4 * i, colours[i % 16 + 1])
	poke(0x5480 + i, i) -- identity remap: without it every colour is slot 0
end
memset(0x5400, 0, 68) -- palette 0 on every line
poke2(0x5478, W)
poke2(0x547a, H)
poke(0x547c, 0) -- 480 x 270

local function fill(x, y, w, h, c)
	local x0, x1 = math.max(x, 0), math.min(x + w, W)
	if x1 <= x0 then return end
	for j = math.max(y, 0), math.min(y + h, H) - 1 do
		memset(DISPLAY + j * W + x0, c, x1 - x0)
	end
end

local mx, my, mb = W // 2, H // 2, 0
local key, typed, wheel = -1, 0, 0

local function draw()
	fill(0, 0, W, H, 1)
	fill(8, 8, W - 16, H - 16, 0)
	for i = 0, 15 do fill(16 + i * 28, 24, 24, 24, i) end -- the palette
	fill(16 + (typed * 6 + wheel * 4) % (W - 40), 56, 8, 8, 10)
	if key >= 0 then fill(16 + key % 112 * 4, H - 24, 4, 12, 11) end
	fill(mx - 1, my - 5, 3, 11, 7 + mb)
	fill(mx - 5, my - 1, 11, 3, 7 + mb)
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
while true do
	local m = _read_message()
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
		m = _read_message()
	end
	if changed then draw() end
	changed = false
	flip()
end
]==]

local running = {}
local function start(source, name, path)
	local id = _create_process_from_code(source, name, path)
	if id then
		running[#running + 1] = id
		printh("kernel: started " .. name .. " " .. id)
	else
		printh("kernel: could not start " .. name)
	end
	return id
end

start(WM_SOURCE, "wm", "/system/wm.lua")

local SHARE = 0.9  -- of the frame's budget, spread over the programs

while true do
	local kept = {}
	local share = SHARE / math.max(#running, 1)
	for _, id in ipairs(running) do
		if _process_state(id) == 1 then
			_kill_process(id)
		else
			local done, cpu, err = _run_process_slice(id, share)
			if err then
				-- A program that ended has no state left to run.
				printh("kernel: " .. id .. (done and " ended" or " removed: " .. tostring(err)))
			elseif _process_state(id) == 1 then
				_kill_process(id)
			else
				kept[#kept + 1] = id
			end
		end
	end
	running = kept

	local m = _read_message()
	while m do
		if m.event == "child_completed" then
			printh("kernel: " .. tostring(m.proc_id) .. " completed")
		end
		m = _read_message()
	end

	if #running == 0 then
		printh("kernel: nothing left to run")
		_signal(33)
	end
	flip()
end
