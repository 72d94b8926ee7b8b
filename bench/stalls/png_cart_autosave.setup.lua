-- A PNG cartridge of 56 MB in 14 compressible raw files (its ROM still fits
-- the picture), written to its file and left mounted.
local RAW = '--[[vyn_format="raw",metadata_format="none"]]'
mkdir("/pc.hvx.png")
local s = ("ab\0"):rep(4 * 1024 * 1024 // 3)
for i = 1, 14 do store("/pc.hvx.png/big" .. i .. ".bin", s, RAW) end
store("/pc.hvx.png/.info.vyn", '--[[vyn,title="stall",version="1",author="bench"]]\n', RAW)
_signal(48)
