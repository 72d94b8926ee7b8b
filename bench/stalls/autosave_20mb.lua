-- An editor typing into its document and autosaving it into the 20 MB
-- cartridge (see autosave_20mb.setup.lua) once a second.
local doc = {"-- document"}
local n = 0
while true do
  n = n + 1
  doc[#doc + 1] = "print(" .. n .. ")"
  if n % 60 == 0 then store("/doc.hvx/main.lua", table.concat(doc, "\n"), "") end
  poke4(0x80, n)
  flip()
end
