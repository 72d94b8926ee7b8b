-- A text cartridge of 128 MB in 16 raw files, written to its file and left mounted.
local RAW = '--[[vyn_format="raw",metadata_format="none"]]'
store("/bc.hvx", "halvoran cartridge // x\nversion 2\n\n:: [eoc]\n", RAW)
local s = ("ab\0"):rep(8 * 1024 * 1024 // 3)
for i = 1, 16 do store("/bc.hvx/big" .. i .. ".bin", s, RAW) end
_signal(48)
