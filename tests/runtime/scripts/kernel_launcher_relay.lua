-- Test kernel: a relay through a system launcher. Each relay asks the
-- launcher (id 2, a system process, so each relay is a program of its own
-- with nothing owed) to start the next one, then makes one long call that
-- cannot yield (about 2^27 cycles). A process that young may run such code
-- only a young allowance past its slice, the first also the pool young
-- processes share: every relay ends there, and no frame after the first
-- holds the host for more than one allowance.
printh("kernel: boot")
_signal(37)
_create_process_from_code([[
while true do
  local m = _read_message()
  while m do
    if m.event == "start" then _create_process_from_code(fetch("/ram/relay.lua"), "relay", "/ram/relay.lua") end
    m = _read_message()
  end
  flip()
end]], "launcher", "/ram/launcher.lua")
_create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua")
store("/ram/relay.lua", [[
send_message(2, {event = "start"})
send_message(1, {event = "relay"})
string.gsub("a", "a", function() for j = 1, 1 << 26 do end end)
send_message(1, {event = "finished"})
]], "")
_create_process_from_code(fetch("/ram/relay.lua"), "relay", "/ram/relay.lua")
local relays, finished = 0, 0
for frame = 1, 30 do
  local list = _get_process_list()
  for _, e in ipairs(list) do
    if e.id ~= pid() then _run_process_slice(e.id, 1 / math.max(#list - 1, 1)) end
  end
  local m = _read_message()
  while m do
    if m.event == "relay" then relays += 1 elseif m.event == "finished" then finished += 1 end
    m = _read_message()
  end
  flip()
end
printh("relays: " .. relays .. " started, " .. finished .. " finished their call")
printh("kernel: exit")
_signal(33)
while true do flip() end
