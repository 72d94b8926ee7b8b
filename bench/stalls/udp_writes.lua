-- 60 KB datagrams to a loopback port, over and over.
local u = _create_udp_socket(9, "127.0.0.1")
local block = string.rep("u", 60000)
local n = 0
while true do
  _write_socket(u, block)
  n = n + 1
  poke4(0x80, n)
end
