-- The kernel stores 100,000 RAM files in one folder.
for i = 1, 100000 do store("/ram/many/f" .. i .. ".txt", "") end
