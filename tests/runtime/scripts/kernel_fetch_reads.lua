-- Test kernel: a child downloads 40 results one after another from a small
-- HTTP server the kernel runs, reading each before it starts the next: none
-- is refused, since a result its program has read holds no share. Another
-- program reads all 16 of a third one's results: that frees none of them.
printh("kernel: boot")
_signal(37)
local port, listener = 40999
repeat port = port + 1 listener = _create_tcp_socket(port, "*") until listener
local url = "http://127.0.0.1:" .. port .. "/r.txt"
-- Processes 2 and 3, so the children below are ordinary programs.
for n = 1, 2 do _create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua") end

-- Every connection gets "hi" once its request has arrived whole.
local open = {}
local function serve()
  while true do
    local a = _accept_socket(listener)
    if not a then break end
    open[#open + 1] = {sock = a, got = ""}
  end
  for i = #open, 1, -1 do
    local c = open[i]
    c.got = c.got .. (_read_socket(c.sock) or "")
    if c.got:find("\r\n\r\n", 1, true) then
      _write_socket(c.sock, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nhi")
      _close_socket(c.sock)
      table.remove(open, i)
    end
  end
end

local function child(code, name)
  return _create_process_from_code("local url = '" .. url .. "'\n" .. code .. "\nwhile true do flip() end",
                                   name, "/ram/" .. name .. ".lua")
end
-- Waits for a job's result; the text, or the failure.
local wait = [[
local function result(id)
  local got, _, err
  repeat flip() got, _, err = _fetch_remote_result(id) until got or err
  return got or err
end
]]
local one_by_one = child(wait .. [[
local read, refused = 0, 0
for n = 1, 40 do
  local id = _fetch_remote(url)
  while id < 0 do refused += 1 flip() id = _fetch_remote(url) end
  if result(id) == "hi" then read += 1 end
end
poke4(0x80, read + 1) poke4(0x84, refused)]], "one_by_one")
local holder = child([[
for n = 1, 16 do poke4(0x100 + 4 * n, _fetch_remote(url)) end
poke4(0x80, 1)
flip()
poke4(0x80, _fetch_remote(url) > 0 and 3 or 2)]], "holder")
local stranger = child("local holder = " .. holder .. "\n" .. wait .. [[
local read = 0
for n = 1, 16 do if result(_ppeek4(holder, 0x100 + 4 * n)) == "hi" then read += 1 end end
poke4(0x80, read + 1)]], "stranger")

-- Frames with the server up and one child running, until its word at 0x80
-- reaches at least `done`.
local function run(id, done)
  for frame = 1, 1200 do
    serve()
    _run_process_slice(id, 0.25)
    flip()
    if _ppeek4(id, 0x80) >= done then return end
  end
end
run(one_by_one, 1)
printh("one by one: " .. (_ppeek4(one_by_one, 0x80) - 1) .. " read, " .. _ppeek4(one_by_one, 0x84) .. " refused")
run(holder, 1)
run(stranger, 1)
printh("another program read " .. (_ppeek4(stranger, 0x80) - 1))
run(holder, 2)
printh("its 17th: " .. (_ppeek4(holder, 0x80) == 3 and "started" or "refused"))
_close_socket(listener)
printh("kernel: exit")
_signal(33)
while true do flip() end
