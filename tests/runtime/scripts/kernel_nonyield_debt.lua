-- Test kernel: a loop around a call that cannot yield, kept under the
-- ceiling (here 2^23 cycles a call). Past the kernel's own ids the process
-- owes every cycle of it, and slices its debt covers do not resume it, so
-- it reaches the call again only once it has paid: once in 30 frames of
-- whole slices. The window manager's id keeps the ten-frame cap.
printh("kernel: boot")
_signal(37)
local loop = [[
while true do
  poke4(0x80, peek4(0x80) + 1)
  string.gsub("a", "a", function() for j = 1, 1 << 22 do end end)
end]]
_create_process_from_code("", "spare", "/ram/spare.lua")
local function run(name, frames)
  local id = _create_process_from_code(loop, name, "/ram/" .. name .. ".lua")
  local results = {}
  for frame = 1, frames do
    local done, cpu = _run_process_slice(id, 1)
    results[tostring(done) .. " " .. cpu] = true
    flip()
  end
  local seen = {}
  for r in pairs(results) do seen[#seen + 1] = r end
  table.sort(seen)
  printh(name .. " " .. id .. ": " .. _ppeek4(id, 0x80) .. " calls in " .. frames .. " frames, slices "
    .. table.concat(seen, ", "))
  _kill_process(id)
end
run("wm", 62)
run("app", 62)
printh("kernel: exit")
_signal(33)
while true do flip() end
