-- 60 KB datagrams to its own listener, over and over.
local port, l = 18979
repeat port = port + 1 l = _create_udp_socket(port, "*") until l
local u = _create_udp_socket(port, "127.0.0.1")
local block = string.rep("u", 60000)
local n = 0
while true do
  _write_socket(u, block)
  n = n + 1
  poke4(0x80, n)
end
