-- Test kernel: the debug library cannot reach into host frames or host
-- closures: a finalizer that rewrites a host call's arguments, the state of
-- a gmatch iterator, the buffer of table.concat and the values the host
-- holds are all out of reach.
printh("kernel: boot")
_signal(37)
-- A finalizer run while _crc converts its number argument tries to put
-- another number in that argument's slot.
local tried = 0
local mt
mt = {__gc = function()
  for level = 2, 4 do
    local info = debug.getinfo(level, "Sf")
    if info and info.func == _crc then
      tried = tried + 1
      debug.setlocal(level, 1, 123456789)
      local name, value = debug.getlocal(level, 1)
      if name then printh("host slot read: " .. tostring(name)) end
    end
  end
  if tried < 3 then setmetatable({}, mt) end
end}
for i = 1, 20 do setmetatable({}, mt) end
collectgarbage("incremental", 100, 1000)
for i = 1, 100000 do
  _crc(i + 0.5)
  if tried >= 3 then break end
end
collectgarbage("incremental", 200, 100)
printh("finalizer met _crc: " .. tostring(tried > 0))
-- The source of a gmatch iterator cannot be swapped for another string.
local it = string.gmatch(string.rep("ab", 1000), "a")
printh("setupvalue on a host function: " .. select("#", debug.setupvalue(it, 1, "zz")) .. " results")
collectgarbage() collectgarbage()
local n = 0
for _ in it do n = n + 1 end
printh("matches: " .. n)
printh("upvaluejoin with a host function: " ..
       tostring(pcall(debug.upvaluejoin, it, 1, function() return it end, 1)))
-- table.concat's buffer is a slot of its frame.
local t = setmetatable({}, {__len = function() return 5000 end, __index = function(_, i)
  if i == 3000 then
    for k = 1, 10 do
      local name, v = debug.getlocal(2, k)
      if type(v) == "userdata" then getmetatable(v).__gc(v) end
    end
  end
  return string.rep("y", 100)
end})
printh("concat: " .. #table.concat(t))
-- What the host holds (a mapped userdata, the draw target, a sprite) is out
-- of reach of the registry a script can empty.
local ud, bm, sp = userdata("u8", 4096, 2), userdata("u8", 64, 64), userdata("u8", 16, 16)
ud:set(0, 0, 7)
_map_ram(ud, 0x200000)
_set_draw_target(bm)
_set_spr(1, sp)
local reg = debug.getregistry()
for k in pairs(reg) do if type(k) == "userdata" then reg[k] = nil end end
ud, bm, sp = nil, nil, nil
collectgarbage() collectgarbage()
local junk = {} for i = 1, 2000 do junk[i] = string.rep("z", 4096) .. i end
rectfill(0, 0, 63, 63, 8)
spr(1, 0, 0)
printh("held by the host after the registry is emptied: " .. peek(0x200000))
printh("kernel: exit")
_signal(33)
while true do flip() end
