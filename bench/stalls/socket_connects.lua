-- Connects to its own listener, accepts and closes both ends, over and over.
local port, l = 18899
repeat port = port + 1 l = _create_tcp_socket(port, "*") until l
local n = 0
while true do
  local c = _create_tcp_socket(port, "127.0.0.1")
  local a = _accept_socket(l)
  if c then _close_socket(c) end
  if a then _close_socket(a) end
  n = n + 1
  poke4(0x80, n)
end
