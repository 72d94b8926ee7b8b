-- An editor's 20 MB text cartridge: a document and four 5 MB resources,
-- written to its file and left mounted.
local RAW = '--[[vyn_format="raw",metadata_format="none"]]'
mkdir("/doc.hvx")
local res = ("\1\2\3\4\5\6\7\8"):rep(5 * 1024 * 1024 // 8)
for i = 1, 4 do store("/doc.hvx/res" .. i .. ".bin", res, RAW) end
store("/doc.hvx/main.lua", "-- document\n", "")
_signal(48)
