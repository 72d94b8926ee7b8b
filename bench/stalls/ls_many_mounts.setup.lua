-- The kernel makes 9,000 cartridges and 1,000 plain folders in "/" and lets
-- them be written.
for i = 1, 9000 do mkdir("/cf" .. i .. ".hvx") end
for i = 1, 1000 do mkdir("/pf" .. i) end
for i = 1, 40 do flip() end
