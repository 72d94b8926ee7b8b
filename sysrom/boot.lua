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

local running, nrunning = {}, 0
local function start(source, name, path)
	local id = _create_process_from_code(source, name, path)
	if id then
		nrunning = nrunning + 1
		running[nrunning] = id
		printh("kernel: started " .. name .. " " .. id)
	else
		printh("kernel: could not start " .. name)
	end
	return id
end

-- The window manager (process 3) is its own file.
local wm_source = fetch("/system/wm.lua")
if wm_source then
	start(wm_source, "wm", "/system/wm.lua")
else
	printh("kernel: /system/wm.lua not found")
end

local SHARE = 0.9  -- of the frame's budget, spread over the programs

-- The loop's calls are looked up once, and the table of running programs is
-- compacted in place: an idle frame makes no garbage and few calls.
local process_state, run_slice, kill, read_message, flip =
	_process_state, _run_process_slice, _kill_process, _read_message, flip
while true do
	local count, kept = nrunning, 0
	local share = count > 1 and SHARE / count or SHARE
	for i = 1, count do
		local id = running[i]
		local keep = false
		if process_state(id) == 1 then
			kill(id)
		else
			local done, cpu, err = run_slice(id, share)
			if err then
				-- A program that ended has no state left to run.
				printh("kernel: " .. id .. (done and " ended" or " removed: " .. tostring(err)))
			elseif process_state(id) == 1 then
				kill(id)
			else
				keep = true
			end
		end
		if keep then
			kept = kept + 1
			running[kept] = id
		end
	end
	for i = count, kept + 1, -1 do running[i] = nil end
	nrunning = kept

	local m = read_message()
	while m do
		if m.event == "child_completed" then
			printh("kernel: " .. tostring(m.proc_id) .. " completed")
		end
		m = read_message()
	end

	if nrunning == 0 then
		printh("kernel: nothing left to run")
		_signal(33)
	end
	flip()
end
