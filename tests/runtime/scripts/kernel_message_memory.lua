-- Test kernel: messages count against what their receiver can hold. A send
-- that would take it past its memory limit is refused and the sender told;
-- the receiver keeps what it was given and is never removed for it.
printh("kernel: boot")
_signal(37)
-- An idle second process: the receiver is an ordinary one.
_create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua")
local receiver = _create_process_from_code([[
local ballast = string.rep("b", 20e6)
local kept = {}
while true do
  local m = _read_message()
  while m do kept[#kept + 1] = m.data m = _read_message() end
  local bytes = 0
  for _, d in ipairs(kept) do bytes = bytes + #d end
  send_message(1, {kept = #kept, bytes = bytes})
  flip()
end]], "receiver", "/ram/receiver.lua")
-- 100 KB of random letters repeated: nothing for the compressor to find.
local letters = {}
for i = 1, 100000 do letters[i] = string.char(97 + math.random(0, 25)) end
local data = string.rep(table.concat(letters), 80)
letters = nil
-- Once the receiver holds its ballast, it says so.
while not _read_message() do
  _run_process_slice(receiver, 1)
  flip()
end
for i = 1, 3 do
  local ok, why = send_message(receiver, {data = data})
  printh("send " .. i .. ": " .. (why and tostring(ok) .. " " .. why or "queued"))
end
data = nil
-- Reading 8 MB costs the receiver some frames.
local last
for frame = 1, 60 do
  _run_process_slice(receiver, 1)
  flip()
  local m = _read_message()
  while m do last = m m = _read_message() end
  if last and last.kept > 0 then break end
end
printh("receiver holds " .. last.kept .. " message of " .. last.bytes .. " bytes, state " .. _process_state(receiver))
printh("kernel: exit")
_signal(33)
while true do flip() end
