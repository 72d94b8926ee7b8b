-- Test kernel: every name a cartridge path may hold reads back from both
-- cartridge forms unchanged; one the text form can not carry is refused
-- under a text cartridge and kept by a ROM cartridge.
printh("kernel: boot")
_signal(37)
local names = {"a.lua", "Z_9-x.txt", "d/e/f.bin", "n#1", "q#a/b.c", "m#[]{}=,~!"}
local forms = {"hvx", "hvx.rom"}
for _, form in ipairs(forms) do
  local cart = "/t." .. form
  mkdir(cart) mkdir(cart .. "/d") mkdir(cart .. "/d/e")
  for _, n in ipairs(names) do store(cart .. "/" .. n, "v:" .. n, "") end
end
local odd = "o#\200 x"
printh("hvx: " .. tostring((store("/t.hvx/" .. odd, "v", ""))) .. ", " .. tostring(mkdir("/t.hvx/d/" .. odd)))
printh("hvx.rom: " .. tostring((store("/t.hvx.rom/" .. odd, "v", ""))))
-- A file whose normal name ends in '/' would read back as a folder from either form.
printh("a file named like a folder: " .. tostring((store("/t.hvx/s#:///", "v", ""))) .. ", "
       .. tostring((store("/t.hvx.rom/s#:///", "v", ""))))
_signal(39)
for _, form in ipairs(forms) do
  local same = 0
  for _, n in ipairs(names) do
    if fetch("/t." .. form .. "/" .. n) == "v:" .. n then same = same + 1 end
  end
  printh(form .. ": " .. same .. " of " .. #names .. " read back")
end
printh("hvx.rom keeps the odd name: " .. tostring(fetch("/t.hvx.rom/" .. odd) == "v"))
printh("kernel: exit")
_signal(33)
while true do flip() end
