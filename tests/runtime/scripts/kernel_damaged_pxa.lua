-- Test kernel: ROM cartridges holding a damaged legacy pxa block (two bytes
-- of the stream spoiled; a block declaring 900 bytes of text and holding
-- 23) load read-only: what decoded can be read, a store into them is
-- refused, and the flush signal leaves their files as they were.
printh("kernel: boot")
_signal(37)
local function unhex(h) return (h:gsub("..", function(x) return string.char(tonumber(x, 16)) end)) end
local carts = {
  {"/damaged.hvx.rom", unhex("0070786101e0009b67bfc2fd67bfc2f12f10ed76771cf0102754af707d5b3769d515571469718607caecfa2d8"
    .. "d701ca311de9334020a8df09ea311de4223a0d008ef3d1ae1bd4923a0d008ef45ffff6d34020a8df09ea411dea334020a8df01ea5"
    .. "11de4a23a0d0086fa8596ef1934024bc9d4878338d804223bc9990b8d54f0215754bad3b9351d15a3fc4d61d2aa0080ac884576f"
    .. "dd994a88e032")},
  {"/short.hvx.rom", unhex("0070786103840027179f7cf3d1579f7df7e1979f7efbf1d79f7fff03bcc013bcc123bcc233bc03")},
}
for _, c in ipairs(carts) do store(c[1], c[2]) end
for _, c in ipairs(carts) do
  local main = fetch(c[1] .. "/main.lua")
  local stored = store(c[1] .. "/new.lua", "x", "")
  _signal(48)
  local kind, size = fstat(c[1], true)
  printh(c[1] .. ": main.lua " .. #main .. " bytes, store: " .. tostring(stored) .. ", file " .. kind .. " of "
    .. size .. " bytes, as stored: " .. tostring(size == #c[2]))
end
printh("kernel: exit")
_signal(33)
while true do flip() end
