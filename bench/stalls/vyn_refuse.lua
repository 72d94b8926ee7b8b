-- A value far too large as text through one table shared 16^6 times,
-- beside 600,000 plain entries, refused by vyn, store and send_message
-- in turn, over and over: each refusal weighs every distinct entry.
local s = {}
for i = 1, 16 do s[i] = i end
for d = 1, 6 do
  local n = {}
  for i = 1, 16 do n[i] = s end
  s = n
end
local t = {s}
for i = 2, 600000 do t[i] = i end
local n = 0
while true do
  vyn(t)
  pcall(store, "/ram/w.vyn", t)
  pcall(send_message, pid(), t)
  n = n + 3
  poke4(0x80, n)
end
