-- A 1-byte store into each of 24 cartridges of 9 MB (see
-- child_ends.setup.lua), then an empty child that ends, over and over.
local n = 0
while true do
  for i = 1, 24 do store("/c" .. i .. ".hvx/n.txt", "x", "") end
  local child = _create_process_from_code("", "empty", "/ram/empty.lua")
  if child then _run_process_slice(child, 0.1) end
  n = n + 1
  poke4(0x80, n)
end
