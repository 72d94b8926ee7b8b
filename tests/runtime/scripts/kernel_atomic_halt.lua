-- Test kernel: an atomic operation ends when its holder halts or fails, so
-- the other processes run on and the exit does not wait for it.
printh("kernel: boot")
_signal(37)
for i = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end
local other = _create_process_from_code("local n = 0 while true do n += 1 poke4(0x80, n) flip() end", "other",
                                        "/ram/other.lua")
for _, src in ipairs({"_signal(40) _halt()", "_signal(40) error('failed')"}) do
  local holder = _create_process_from_code(src, "holder", "/ram/holder.lua")
  local before = _ppeek4(other, 0x80)
  for frame = 1, 3 do
    _run_process_slice(holder, 0.3)
    _run_process_slice(other, 0.3)
    flip()
  end
  printh(src .. ": other ran " .. _ppeek4(other, 0x80) - before .. " times, holder state " .. _process_state(holder))
end
printh("kernel: exit")
_signal(33)
while true do flip() end
