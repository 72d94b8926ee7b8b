-- Test kernel: a call writes back only the cartridge its path names, and
-- pays for it; a process's end and a listing of "/" write none; the frame
-- writes due cartridges until it has written its share of bytes, no more.
printh("kernel: boot")
_signal(37)

-- Cycles a call costs the caller, in frames.
local function cost(f)
  local before = stat(1)
  f()
  return stat(1) - before
end
-- The cartridges among name1.hvx..nameN.hvx still waiting to be written:
-- fstat of each writes it now, and a write costs far more than the fstat.
-- Looked at inside a callback, which cannot pause, so that no frame (and
-- its write-back) passes between two of the looks.
local function waiting(name, n)
  local t = {}
  string.gsub("x", "x", function()
    for i = 1, n do
      if cost(function() fstat("/" .. name .. i .. ".hvx") end) > 0.15 then t[#t + 1] = i end
    end
  end)
  return #t > 0 and table.concat(t, " ") or "none"
end
local function change(name, n)
  for i = 1, n do store("/" .. name .. i .. ".hvx/n.txt", "changed", "") end
end

for i = 1, 3 do
  mkdir("/s" .. i .. ".hvx")
  store("/s" .. i .. ".hvx/n.txt", "0", "")
end
_signal(48)
printh("after the flush signal: " .. waiting("s", 3))

change("s", 3)
local child = _create_process_from_code("", "empty", "/ram/empty.lua")
_run_process_slice(child, 1)
printh("a child ended: " .. waiting("s", 3))
local calls = {
  {"ls /", function() ls("/") end},
  {"ls /s2.hvx", function() ls("/s2.hvx") end},
  {"ls /s2.hvx/d", function() ls("/s2.hvx/d") end},
  {"fstat /s3.hvx", function() fstat("/s3.hvx") end},
  {"fetch /s1.hvx", function() fetch("/s1.hvx") end},
}
for _, c in ipairs(calls) do
  change("s", 3)
  c[2]()
  printh(c[1] .. " leaves " .. waiting("s", 3))
end

-- The caller pays for the write: a cycle per CART_TEXT_ENCODE_BYTES_PER_CYCLE
-- encoded bytes (the text form grows past its files), besides the host
-- write's own cost (a cycle per 8 bytes and PFILE_WRITE_COST), in a frame
-- budget of 0x44444. The harness gives the constants.
change("s", 3)
local dirty = cost(function() ls("/s2.hvx") end)
local clean = cost(function() ls("/s2.hvx") end)
local _, size = fstat("/s2.hvx", true)
local want = size // CART_TEXT_ENCODE_BYTES_PER_CYCLE + size // 8 + PFILE_WRITE_COST
printh("ls of a changed cartridge pays that, cycles off: " .. math.floor((dirty - clean) * 0x44444 + 0.5) - want)
_signal(48)

-- Four cartridges of 1.5 MB changed at once: the frame writes them from the
-- last mounted, two whole, and begins the third, never more than its 4 MB;
-- the third is still being written a frame later and the fourth waits for it.
local filler = string.rep("0123456789abcdef", 3 << 15)
for i = 1, 4 do
  mkdir("/b" .. i .. ".hvx")
  store("/b" .. i .. ".hvx/big.txt", filler, "")
end
_signal(48)
_signal(40)
change("b", 4)
local second = stat(86)
while stat(86) < second + 2 do flip() end
_signal(41)
flip()
printh("one frame later waiting: " .. waiting("b", 4))

printh("kernel: exit")
_signal(33)
while true do flip() end
