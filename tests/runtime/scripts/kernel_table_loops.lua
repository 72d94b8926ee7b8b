-- Test kernel: table.move, table.insert and table.remove over huge ranges
-- meet the table's own errors first, at the elements Lua 5.4 touches first.
printh("kernel: boot")
_signal(37)
local maxI, minI = math.maxinteger, math.mininteger
-- As Lua 5.4's own tests: the first read and write of a long move, then an
-- error from __newindex.
local function checkmove(f, e, t)
  local pos1, pos2
  local a = setmetatable({}, {
    __index = function(_, k) pos1 = k end,
    __newindex = function(_, k) pos2 = k error("stop") end})
  local ok, msg = pcall(table.move, a, f, e, t)
  return tostring(pos1) .. " " .. tostring(pos2) .. " " .. (tostring(msg):match("stop$") or tostring(msg))
end
printh("move: " .. checkmove(1, maxI, 0))
printh("move: " .. checkmove(0, maxI - 1, 1))
printh("move: " .. checkmove(minI, -2, -5))
printh("move: " .. checkmove(minI, -2, 0))
-- A huge length from __len: the first element moved raises.
local function huge(what)
  local first
  local t = setmetatable({}, {__len = function() return 1 << 50 end,
    __index = function(_, k) first = first or k return k end,
    __newindex = function(_, k) error("stop at " .. k) end})
  local ok, msg = pcall(table[what], t, 1, what == "insert" and "x" or nil)
  return what .. ": " .. tostring(first) .. " " .. (tostring(msg):match("stop at %d+$") or tostring(msg))
end
printh(huge("insert"))
printh(huge("remove"))
printh("kernel: exit")
_signal(33)
while true do flip() end
