-- Test kernel: a child makes 16 children that each start 16 fetches to a
-- listener that never accepts. Their program holds 64 job slots and the rest
-- are refused; killing the parent frees nothing, and another program, the
-- kernel and process 2 still fetch.
printh("kernel: boot")
_signal(37)
local port, listener = 40999
repeat port = port + 1 listener = _create_tcp_socket(port, "*") until listener
local fetch16 = "local got = 0 for i = 1, 16 do if _fetch_remote('http://127.0.0.1:" .. port ..
                "/') > 0 then got = got + 1 end end poke4(0x80, got + 1) while true do flip() end"
local sys2 = _create_process_from_code(fetch16, "sys", "/ram/sys.lua")
_create_process_from_code("while true do flip() end", "idle", "/ram/idle.lua")
local parent = _create_process_from_code([[
for i = 1, 16 do _create_process_from_code("]] .. fetch16 .. [[", "kid", "/ram/kid.lua") end
while true do flip() end]], "parent", "/ram/parent.lua")
_run_process_slice(parent, 1)
-- Each one's count, once it has fetched (the count + 1 at 0x80).
local function fetched(id)
  for frame = 1, 10 do
    if _ppeek4(id, 0x80) > 0 then break end
    _run_process_slice(id, 1)
    flip()
  end
  return tostring(_ppeek4(id, 0x80) - 1)
end
local kids = {}
for id = parent + 1, parent + 16 do kids[#kids + 1] = fetched(id) end
printh("children: " .. table.concat(kids, " "))
_kill_process(parent)
local other = _create_process_from_code(fetch16, "other", "/ram/other.lua")
printh("another program: " .. fetched(other))
local mine = 0
for i = 1, 16 do if _fetch_remote("http://127.0.0.1:" .. port .. "/") > 0 then mine = mine + 1 end end
printh("the kernel: " .. mine .. ", process 2: " .. fetched(sys2))
_close_socket(listener)
printh("kernel: exit")
_signal(33)
while true do flip() end
