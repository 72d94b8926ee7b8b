-- Test kernel: finalizers that remove processes while _get_process_list
-- builds its tables; the list is the table as it stood when the call began.
printh("kernel: boot")
_signal(37)
local ids = {}
for i = 1, 40 do ids[i] = _create_process_from_code("while true do flip() end", "child " .. i, "/ram/c.lua") end
local listing, removed = false, 0
local mt
mt = {__gc = function()
  if listing and #ids > 0 then
    _kill_process(table.remove(ids), 0)
    removed = removed + 1
  end
  if #ids > 0 then setmetatable({}, mt) end
end}
for i = 1, 50 do setmetatable({}, mt) end
collectgarbage("incremental", 100, 1000)
local whole, rounds = true, 0
while #ids > 0 and rounds < 200 do
  rounds = rounds + 1
  local before = #ids + 1
  listing = true
  local list = _get_process_list()
  listing = false
  whole = whole and #list == before
  for _, e in ipairs(list) do
    whole = whole and math.type(e.id) == "integer" and type(e.name) == "string" and type(e.prog) == "string"
  end
end
collectgarbage("incremental", 200, 100)
printh("listed while removing: " .. tostring(removed > 0) .. ", every list whole: " .. tostring(whole))
printh("left: " .. #_get_process_list())
printh("kernel: exit")
_signal(33)
while true do flip() end
