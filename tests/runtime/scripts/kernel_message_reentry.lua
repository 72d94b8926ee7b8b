-- Test kernel: finalizers read messages while a long message is being
-- decoded; both reads get their own messages whole.
printh("kernel: boot")
_signal(37)
local big = {}
for i = 1, 20000 do big[i] = string.format("%08d", i) .. string.rep("x", 52) end
send_message(pid(), {tag = "big", items = big})
for i = 1, 50 do send_message(pid(), {tag = "s" .. i}) end
big = nil
-- Finalizers that run before the long read only arm another one.
local inner, during, state = {}, false, "before"
local mt
mt = {__gc = function()
  if state == "reading" then
    local m = _read_message()
    if m then inner[#inner + 1] = m.tag during = true end
  elseif state == "before" then
    setmetatable({}, mt)
  end
end}
for i = 1, 400 do setmetatable({}, mt) end
collectgarbage("incremental", 100, 1000)
state = "reading"
local m = _read_message()
state = "after"
collectgarbage("incremental", 200, 100)
printh("outer " .. m.tag .. " " .. #m.items .. " " .. m.items[1]:sub(1, 8) .. " " .. m.items[20000]:sub(1, 8))
printh("inner reads during the outer one: " .. tostring(during))
local rest = _read_message()
while rest do inner[#inner + 1] = rest.tag rest = _read_message() end
local ordered = #inner == 50
for i = 1, #inner do ordered = ordered and inner[i] == "s" .. i end
printh("all 50 in order: " .. tostring(ordered))
printh("kernel: exit")
_signal(33)
while true do flip() end
