-- Test kernel: `mount`s are shared out per program. A program keeps 64
-- standing, its children's included; they stay when it ends. Mounts of ended
-- programs share a pool of 1,024, past which a running program's `mount` is
-- refused, never the kernel's.
printh("kernel: boot")
_signal(37)
-- Ids 2 and 3 are the system's own: they are taken first.
for i = 1, 2 do _create_process_from_code("while true do flip() end", "sys", "/ram/sys.lua") end
mkdir("/ram/d")
local function start(code, name)
  return _create_process_from_code(code, name, "/ram/" .. name .. ".lua")
end
local function slice(id)
  _run_process_slice(id, 1)
  flip()
end
local function standing(prefix, from, to)
  local n = 0
  for i = from, to do if fstat(prefix .. i) then n = n + 1 end end
  return n
end

-- One program makes 300 mounts and ends; its first 64 stand.
local a = start([[for i = 1, 300 do mount("/a" .. i, "/ram/d") end]], "mounter")
slice(a)
printh("mounter " .. a .. " state " .. _process_state(a) .. ", standing " .. standing("/a", 1, 300))
_kill_process(a)
flip()
printh("after it is gone: " .. standing("/a", 1, 300))
mount("/k1", "/ram/d")
printh("the kernel's: " .. tostring((fstat("/k1"))))

-- A child of an ordinary process belongs to its program: they share one share.
local d = start([[
local e = _create_process_from_code('for i = 1, 40 do mount("/e" .. i, "/ram/d") end while true do flip() end',
                                    "child", "/ram/child.lua")
poke4(0x84, e)
for i = 1, 40 do mount("/d" .. i, "/ram/d") end
while true do flip() end]], "launcher")
slice(d)
local e = _ppeek4(d, 0x84)
slice(e)
printh("launcher " .. standing("/d", 1, 40) .. ", its child " .. standing("/e", 1, 40))

-- A later program mounts while ended programs hold less than the pool.
local b = start([[mount("/b1", "/ram/d") while true do flip() end]], "later")
slice(b)
printh("a later program: " .. tostring((fstat("/b1"))))

-- Fifteen more programs of 64 mounts end: 1,024 mounts of ended programs.
for p = 1, 15 do
  local id = start('for i = 1, 64 do mount("/p' .. p .. '_" .. i, "/ram/d") end', "setup")
  slice(id)
  _kill_process(id)
end
flip()
local setups = 0
for p = 1, 15 do setups = setups + standing("/p" .. p .. "_", 1, 64) end
printh("setup mounts standing: " .. setups)
local c = start([[
mount("/c1", "/ram/d")
poke4(0x80, 1)
flip()
mount("/c2", "/ram/d")
while true do flip() end]], "running")
slice(c)
mount("/k2", "/ram/d")
printh("past the pool: " .. tostring((fstat("/c1"))) .. ", the kernel's: " .. tostring((fstat("/k2"))))
_fdelete("/a1")
slice(c)
printh("after one is removed: " .. tostring((fstat("/c2"))))
printh("kernel: exit")
_signal(33)
while true do flip() end
