-- Test kernel: what a program owes stops all of its processes. A relay
-- starts the next relay and then makes one long call that cannot yield
-- (about 2^23 cycles); under a kernel that gives every live process a fair
-- share of each frame, the fresh relay pays the program's debt off instead
-- of making its own call (the first, stopped past its slice, pays too). Then a restart that owes: the slices that only
-- pay its debt off report that it still wants time.
printh("kernel: boot")
_signal(37)
for i = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end
local relay = [[
_create_process_from_code(fetch("/ram/relay.lua"), "relay", "/ram/relay.lua")
send_message(1, {event = "call"})
string.gsub("a", "a", function() for j = 1, 1 << 22 do end end)
]]
store("/ram/relay.lua", relay, "")
local first = _create_process_from_code(relay, "relay", "/ram/relay.lua")
local calls, said = 0, {}
for frame = 1, 60 do
  local list = _get_process_list()
  local share = 1 / (#list - 1)
  for _, e in ipairs(list) do
    if e.id ~= pid() then
      local done, cpu = _run_process_slice(e.id, share)
      if e.id > first then said[tostring(done) .. " " .. string.format("%.3f", cpu)] = true end
    end
  end
  local m = _read_message()
  while m do
    if m.event == "call" then calls += 1 end
    m = _read_message()
  end
  flip()
end
local seen = {}
for r in pairs(said) do seen[#seen + 1] = r end
table.sort(seen)
printh("relays: " .. calls .. " calls in 60 frames, later relays' slices " .. table.concat(seen, ", "))
for _, e in ipairs(_get_process_list()) do
  if e.id >= first then _kill_process(e.id) end
end

local owing = _create_process_from_code([[
if not fetch("/ram/owed.txt") then
  store("/ram/owed.txt", "once", "")
  string.gsub("a", "a", function() for j = 1, 1 << 22 do end end)
end
while true do flip() end]], "owing", "/ram/owing.lua")
_run_process_slice(owing, 0.5)
flip()
local function slice()
  local done, cpu = _run_process_slice(owing, 0.5)
  return tostring(done) .. " " .. cpu
end
local before = slice()
flip()
_kill_process(owing, 1)
local after, frames = {}, 0
repeat
  local r = slice()
  after[r] = true
  frames += 1
  flip()
until r:sub(1, 4) == "true" or frames > 200
printh("owing " .. owing .. ": before its restart " .. before .. ", after it " .. (after["false 0.5"] and "false 0.5" or "-")
  .. " until it ran and flipped: " .. (frames > 50 and frames < 70 and "about 60 frames" or frames))
printh("kernel: exit")
_signal(33)
while true do flip() end
