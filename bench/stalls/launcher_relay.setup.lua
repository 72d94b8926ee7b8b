-- Id 2 is the launcher; id 3 idles, so the first relay is an ordinary
-- program (id 4).
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
store("/ram/relay.lua", offender_code, "")
