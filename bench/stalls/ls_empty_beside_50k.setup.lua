-- The kernel stores 50,000 RAM files in one folder and makes an empty one.
for i = 1, 50000 do store("/ram/many/f" .. i .. ".txt", "") end
mkdir("/ram/empty")
