-- Test kernel: creates processes, slices them, passes messages, removes a
-- halted one and kills another, then ends the run.
printh("kernel: boot " .. pid())
_signal(37)

local function keep(list, pred)
  local out = {}
  for _, v in ipairs(list) do if pred(v) then out[#out + 1] = v end end
  return out
end

-- Id 2 is thrown away so that the window manager gets id 3 and index 1.
local dummy = _create_process_from_code("", "dummy", "/ram/dummy.lua")
local done, cpu, err = _run_process_slice(dummy, 1)
printh("dummy " .. dummy .. ": " .. tostring(done) .. " " .. err)

local wm = _create_process_from_code([[
while true do
  local m = _read_message()
  while m do
    if m.event == "ping" then
      send_message(m._from, {event = "pong", n = m.n * 2, text = m.text, flags = m._flags})
    end
    m = _read_message()
  end
  flip()
end]], "wm", "/system/wm.lua")
printh("wm " .. wm)

local worker = _create_process_from_code([[
local frames = 0
while true do
  frames = frames + 1
  if frames == 3 then
    send_message(1, {event = "worker", frames = frames})
    _halt()
  end
  flip()
end]], "worker", "/ram/worker.lua")
local victim = _create_process_from_code("while true do flip() end", "victim", "/ram/victim.lua")
printh("worker " .. worker .. ", victim " .. victim)

local t = {event = "ping", n = 21, text = "a \"quoted\"\nline ]] {"}
send_message(wm, t)
printh("stamped " .. t._from .. " " .. t._flags .. " " .. math.type(t._sent_t))

local procs = {wm, worker, victim}
for frame = 1, 6 do
  procs = keep(procs, function(id)
    if _process_state(id) ~= 1 then return true end
    printh("frame " .. frame .. ": " .. id .. " halted, removing")
    _kill_process(id)
    return false
  end)
  procs = keep(procs, function(id)
    local done, cpu, err = _run_process_slice(id, 0.25)
    if err then printh("frame " .. frame .. ": " .. id .. " dropped: " .. err) end
    return err == nil
  end)
  local m = _read_message()
  while m do
    if m.event == "pong" then
      printh("frame " .. frame .. ": pong " .. m.n .. " from " .. m._from .. " flags " .. m._flags
             .. ", ping flags " .. m.flags .. ", text intact " .. tostring(m.text == t.text))
    elseif m.event == "child_completed" then
      printh("frame " .. frame .. ": child_completed " .. m.proc_id .. " from " .. m._from)
    else
      printh("frame " .. frame .. ": " .. m.event .. " " .. m.frames .. " from " .. m._from)
    end
    m = _read_message()
  end
  if frame == 4 then
    _kill_process(victim)
    printh("frame 4: victim state " .. _process_state(victim))
  end
  flip()
end
printh("kernel: exit")
_signal(33)
while true do flip() end
