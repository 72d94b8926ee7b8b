-- Test kernel: two processes talk TCP through the socket calls, frame by
-- frame; each one's sockets go when it ends, the rest at exit.
printh("kernel: boot")
_signal(37)

-- A free port: the first the kernel can listen on.
local port, probe
for p = 41000, 41999 do
  probe = _create_tcp_socket(p, "*")
  if probe then port = p break end
end
_close_socket(probe)

local server = _create_process_from_code([[
local l = _create_tcp_socket(]] .. port .. [[, "*")
local a
while true do
  a = a or _accept_socket(l)
  if a then
    local s = _read_socket(a)
    if s then _write_socket(a, "echo " .. s) end
  end
  flip()
end]], "server", "/ram/server.lua")
local client = _create_process_from_code([[
local c = _create_tcp_socket(]] .. port .. [[, "127.0.0.1")
_write_socket(c, "ping")
while true do
  local s = _read_socket(c)
  if s then send_message(1, {event = "reply", text = s, mine = stat(41)}) _halt() end
  flip()
end]], "client", "/ram/client.lua")
_create_tcp_socket(port + 1, "*")  -- the kernel's own, closed at exit

local function slices()
  for _, id in ipairs({server, client}) do _run_process_slice(id, 0.25) end
end
for frame = 1, 300 do
  slices()
  local m = _read_message()
  if m and m.event == "reply" then
    printh(m.text .. ", client sockets " .. m.mine .. ", all " .. stat(40))
    _kill_process(client)
    break
  end
  flip()
end
for frame = 1, 300 do
  if stat(40) == 2 then break end  -- the server's accepted socket went once it saw the close
  slices()
  flip()
end
printh("after the client: " .. stat(40))
_kill_process(server)
printh("after the server: " .. stat(40) .. ", mine " .. stat(41))
printh("kernel: exit")
_signal(33)
flip()
