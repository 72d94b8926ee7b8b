-- Test kernel: two processes talk TCP through the socket calls, frame by
-- frame; each one's sockets go when it ends.
printh("kernel: boot")
_signal(37)
local port, probe = 40999  -- the first port from 41000 the kernel can listen on
repeat port = port + 1 probe = _create_tcp_socket(port, "*") until probe
_close_socket(probe)

local server = _create_process_from_code([[
local l, a = _create_tcp_socket(]] .. port .. [[, "*")
while true do
  a = a or _accept_socket(l)
  local s = a and _read_socket(a)
  if s then _write_socket(a, "echo " .. s) end
  flip()
end]], "server", "/ram/server.lua")
local client = _create_process_from_code([[
local c = _create_tcp_socket(]] .. port .. [[, "127.0.0.1")
_write_socket(c, "ping")
while true do
  local s = _read_socket(c)
  if s then send_message(1, {text = s, mine = stat(41)}) _halt() end
  flip()
end]], "client", "/ram/client.lua")

-- Until the reply, then until the server's accepted socket has seen the close.
local m
for frame = 1, 600 do
  if m and stat(40) == 1 then break end
  for _, id in ipairs({server, client}) do _run_process_slice(id, 0.25) end
  if not m then
    m = _read_message()
    if m then printh(m.text .. ", client sockets " .. m.mine .. ", all " .. stat(40)) _kill_process(client) end
  end
  flip()
end
printh("after the client: " .. stat(40))
_kill_process(server)
printh("after the server: " .. stat(40))
printh("kernel: exit")
_signal(33)
flip()
