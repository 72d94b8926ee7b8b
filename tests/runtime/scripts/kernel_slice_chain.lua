-- Test kernel: processes that each nest 180 pcalls and then run the next
-- one's slice. The chain is refused where it would pass the C stack's
-- limit: the caller's call gets the error text, the target is untouched.
printh("kernel: boot")
_signal(37)
local CHILD = [[
local function nest(n)
  if n > 0 then return select(2, pcall(nest, n - 1)) end
  return table.pack(_run_process_slice(%d, 1))
end
local r = nest(%d)
printh(pid() .. " -> %d: " .. tostring(r[1]) .. " " .. tostring(r[3]))
while true do flip() end
]]
local first = 2
for i = 0, 119 do
  local id = first + i
  _create_process_from_code(string.format(CHILD, id + 1, 180, id + 1), "chain " .. i, "/ram/chain.lua")
end
-- and a short chain with shallow nesting, which runs through
local short = first + 120
for i = 0, 2 do
  local id = short + i
  _create_process_from_code(string.format(CHILD, id + 1, 3, id + 1), "short " .. i, "/ram/short.lua")
end
_create_process_from_code("printh(pid() .. ': ran') while true do flip() end", "end", "/ram/end.lua")
_run_process_slice(first, 1)
printh("next in the chain untouched: state " .. _process_state(first + 1))
_run_process_slice(short, 1)
printh("kernel: exit")
_signal(33)
while true do flip() end
