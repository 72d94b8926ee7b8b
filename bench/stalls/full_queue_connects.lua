-- Fills its own listener's queue (it never accepts), then connects again and
-- again: each connect finds the queue full.
local port, l = 18949
repeat port = port + 1 l = _create_tcp_socket(port, "*") until l
local n = 0
while true do
  local c = _create_tcp_socket(port, "127.0.0.1")
  if n > 100 and c then _close_socket(c) end
  n = n + 1
  poke4(0x80, n)
end
