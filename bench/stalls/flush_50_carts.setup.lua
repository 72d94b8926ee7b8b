-- 50 small text cartridges, written to their files and left mounted.
for i = 1, 50 do
  mkdir("/f" .. i .. ".hvx")
  store("/f" .. i .. ".hvx/main.lua", "print(" .. i .. ")", "")
end
_signal(48)
