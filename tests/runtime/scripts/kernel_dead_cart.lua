-- Test kernel: writes under a cartridge whose file did not load are refused
-- (the file is never written over, so they would be lost); a new cartridge
-- with no file yet saves as before, and the cartridge file may be replaced.
printh("kernel: boot")
_signal(37)
store("/bad.hvx", "halvoran cartridge\nversion 9\n\n:: a.lua\nprint(1)\n:: [eoc]\n")
printh("store: " .. tostring((store("/bad.hvx/b.lua", "x", ""))) .. ", fetch: " .. tostring((fetch("/bad.hvx/b.lua"))))
printh("mkdir: " .. tostring(mkdir("/bad.hvx/d")))
store("/k.txt", "k", "")
cp("/k.txt", "/bad.hvx/k.txt")
printh("cp: " .. tostring((fetch("/bad.hvx/k.txt"))))
mkdir("/n.hvx.png")
printh("new png: " .. tostring((store("/n.hvx.png/a.lua", "print(1)", ""))))
_signal(39)
printh("png file: " .. tostring((fstat("/n.hvx.png", true))))
printh("png reopened: " .. tostring((fetch("/n.hvx.png/a.lua"))) .. ", " .. tostring((store("/n.hvx.png/a.lua", "x", ""))))
store("/bad.hvx", "halvoran cartridge\nversion 2\n\n:: a.lua\nprint(2)\n:: [eoc]\n")
printh("replaced: " .. tostring((fetch("/bad.hvx/a.lua"))) .. ", " .. tostring((store("/bad.hvx/b.lua", "x", ""))))
printh("kernel: exit")
_signal(33)
while true do flip() end
