-- Test kernel: finalizers that never return, on a thousand objects: the
-- first ends its process, and the rest get no allowance in its slice; as it
-- is removed, those past its share are left out.
printh("kernel: boot")
_signal(37)
_create_process_from_code("while true do flip() end", "wm", "/ram/wm.lua")  -- its end would be fatal
local garbage = " local n = 0 while true do n += 1 poke4(0x80, n) local t = {} for i = 1, 1000 do t[i] = {} end flip() end"
local sources = {
  {"tables", "for i = 1, 1000 do setmetatable({}, {__gc = function() while true do end end}) end" .. garbage},
  {"userdata", "USERDATA.__gc = function() while true do end end for i = 1, 1000 do userdata('u8', 4) end" .. garbage},
  {"kept to the end", "keep = {} for i = 1, 1000 do keep[i] = setmetatable({}, {__gc = function() while true do end end}) end"},
}
for _, s in ipairs(sources) do
  local id = _create_process_from_code(s[2], "gc", "/ram/gc.lua")
  for frame = 1, 30 do
    if _process_state(id) ~= 0 then break end
    _run_process_slice(id, 0.5)
    flip()
  end
  local m = _read_message()
  printh(s[1] .. ": state " .. _process_state(id) .. ", " .. tostring(m and m.proc_id == id and m.event))
end
printh("kernel: exit")
_signal(33)
while true do flip() end
