-- 24 text cartridges of 9 MB each, written to their files and left mounted.
local big = string.rep("0123456789abcdef", 9 << 16)
for i = 1, 24 do
  mkdir("/c" .. i .. ".hvx")
  store("/c" .. i .. ".hvx/big.txt", big, "")
end
_signal(48)
