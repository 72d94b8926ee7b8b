-- Test kernel: values come back from files, vyn text and messages as they
-- went: floats of every kind, raw strings of every byte through host-text
-- files; metadata that is not one header is refused and the old file kept;
-- tables shared many times over are refused at once, paying for the weighing.
printh("kernel: boot")
_signal(37)

local floats = {0.1 + 0.2, 123456789012345.0, 2^63, -2^63, 2^53 + 2, 1 / 3, -1e-300, 5e-324, 1.7976931348623157e308,
  1.0, 2.5, 1e20, -0.0, 1e15 + 0.3, math.pi, math.huge, -math.huge}
local function same(t, base)  -- a table from 1, a userdata from 0
  if type(t) ~= "table" and type(t) ~= "userdata" then return "nothing" end
  for i, f in ipairs(floats) do
    if t[i - base] ~= f then return "element " .. i .. " came back " .. tostring(t[i - base]) end
  end
  return "ok"
end

printh("texts: " .. vyn(0.1 + 0.2) .. " " .. vyn(123456789012345.0) .. " " .. vyn(2^63) .. " " .. vyn(1.0) .. " "
  .. vyn(math.huge) .. " " .. vyn(math.huge - math.huge) .. " " .. vyn(0.1) .. "; tostring " .. tostring(0.1 + 0.2))
store("/ram/f.vyn", floats)
store("/ram/f.txt", floats)
send_message(pid(), {floats = floats})
printh("vyn " .. same(unvyn(vyn(floats)), 0) .. ", store vyn " .. same(fetch("/ram/f.vyn"), 0) .. ", txt "
  .. same(fetch("/ram/f.txt"), 0) .. ", message " .. same((_read_message() or {}).floats, 0))
local u = userdata("f64", #floats)
for i, f in ipairs(floats) do u[i - 1] = f end
store("/ram/u.txt", u)
printh("f64 userdata: " .. same(unvyn(vyn(u)), 1) .. ", txt " .. same(fetch("/ram/u.txt"), 1))

-- Raw strings through the host-text extensions.
local bytes = {}
for b = 0, 255 do bytes[#bytes + 1] = string.char(b) end
local raws = {table.concat(bytes) .. "\r", "a\rb\r", "caf\233", "x\226\130"}
local function raw_trip(ext, meta)
  for i, s in ipairs(raws) do
    store("/ram/r." .. ext, s, meta)
    if fetch("/ram/r." .. ext) ~= s then return "string " .. i .. " changed" end
  end
  return "ok"
end
printh("raw txt: " .. raw_trip("txt", "") .. ", lua " .. raw_trip("lua", "") .. ", with header "
  .. raw_trip("txt", "--[[vyn_format=\"raw\"]]") .. ", header with its line feed "
  .. raw_trip("lua", "--[[vyn_format=\"raw\"]]\n"))

-- Metadata: one header or nothing.
store("/ram/m.vyn", 5, "--[[vyn,title=\"kept\"]]\n")
local refused = {}
for _, meta in ipairs({"--[[vyn x=1", "hello", "--[[vyn x=1]]\nprint('injected')", "--[[vyn]]\n\n", "--[[vy]]"}) do
  refused[#refused + 1] = store("/ram/m.vyn", 6, meta)
end
refused[#refused + 1] = store("/ram/m.vyn", "raw", "--[[vyn_format=\"raw\"]] ")
refused[#refused + 1] = _store_metadata_str_to_file("/ram/m.vyn", "--[[vyn]]x")
local v, meta = fetch("/ram/m.vyn")
printh("metadata: " .. #refused .. " refused: " .. refused[1] .. "; old file " .. v .. " " .. meta.title)
printh("accepted: " .. select("#", store("/ram/m.vyn", 7, "--[[vyn,title=\"new\"]]")) .. " "
  .. select("#", _store_metadata_str_to_file("/ram/m.vyn", "--[[vyn,title=\"newer\"]]\n")) .. " "
  .. fetch("/ram/m.vyn") .. " " .. _fetch_metadata_from_file("/ram/m.vyn").title)

-- A table reached through shared tables 10^8 times over.
local l = {}
for d = 1, 4 do
  local t = {}
  for i = 1, 100 do t[i] = l end
  l = t
end
local ok, why = send_message(pid(), {l = l})
printh("shared: vyn " .. select("#", vyn(l)) .. ", store " .. store("/ram/s.vyn", l) .. ", message "
  .. tostring(ok) .. " " .. why)

-- A refusal pays for the weighing that found it: 20,000 plain entries
-- beside the shared table cost their walk, 2 cycles each, in a frame budget
-- of 0x44444 (each measured from a fresh frame).
local function cost(call, v)
  flip()
  local before = stat(1)
  call(v)
  return stat(1) - before
end
local bare, padded = {l}, {l}
for i = 2, 20001 do padded[i] = i end
local off = {}
for _, call in ipairs({function(v) return vyn(v) end, function(v) return store("/ram/s.vyn", v) end,
    function(v) return send_message(pid(), v) end}) do
  cost(call, padded) cost(call, bare)  -- send_message's own keys go in first
  local extra = cost(call, padded) - cost(call, bare)
  off[#off + 1] = math.floor(extra * 0x44444 + 0.5) - 2 * 20000
end
printh("shared refusals pay their weighing, cycles off: " .. table.concat(off, " "))
printh("kernel: exit")
_signal(33)
while true do flip() end
