-- The kernel makes 3,000 empty RAM cartridges and lets them be written.
for i = 1, 3000 do mkdir("/ram/c" .. i .. ".hvx") end
for i = 1, 60 do flip() end
