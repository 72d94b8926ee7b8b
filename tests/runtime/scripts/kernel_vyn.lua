-- Test kernel: the object-data calls vyn and unvyn from a process.
printh("kernel: boot")
_signal(37)
printh(vyn({1, 2, 3, x = 5, ["a b"] = true, [10] = "z"}))
printh(vyn("a\"b]\n", 0, "p:"))
local t = {1} t.t = t
printh("cyclic " .. select("#", vyn(t)))
local back, meta = unvyn("--[[vyn,title=\"x\"]]\n{1,{2}}")
printh(back[2][1] .. " " .. meta.title)
printh(unvyn(vyn({a = {b = "c"}}, 7)).a.b .. " " .. vyn(1, 7))
printh(vyn(unvyn('userdata("u8",2,2,"010203ff")')))
printh(select("#", unvyn({})) .. select("#", unvyn("{1,,2}")) .. select("#", unvyn("{1,2,}")))
printh(unvyn("str") .. " " .. tostring(unvyn("\tx")) .. " " .. unvyn("1e+999"))
printh("kernel: exit")
_signal(33)
while true do flip() end
