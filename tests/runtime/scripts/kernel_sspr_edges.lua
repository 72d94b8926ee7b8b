-- Test kernel: stretched sprites at the edges of their source, single and
-- batched. Sprite 1 is 8 x 8; texel column c has colour c + 1.
printh("kernel: boot")
poke(0x5508, 63, 63, 63, 63) pal()
local S = userdata("u8", 8, 8)
_set_draw_target(S)
for x = 0, 7 do rectfill(x, 0, x, 7, x + 1) end
_set_spr(1, S)
_set_draw_target(userdata("u8", 480, 270))
clip()

-- Each case: rows y0 and y1 as their drawn columns and texel columns, and row y1 + 1.
local function row(y, columns_only)
  local first, last, texels = nil, nil, ""
  for x = 0, 479 do
    if pget(x, y) ~= 0 then first, last, texels = first or x, x, texels .. (pget(x, y) - 1) end
  end
  return first and first .. ".." .. last .. (columns_only and "" or " " .. texels) or "empty"
end
for _, c in ipairs({
  {"left clamp", 10, 25, 1, -4, 0, 8, 8, 10, 10, 16, 16},
  {"right cut, flipped", 20, 35, 1, 4, 0, 8, 8, 10, 20, 16, 16, true},
  {"wholly left", 30, 45, 1, -20, 0, 8, 8, 10, 30, 16, 16},
  {"doubled", 10, 25, 1, 0, 0, 8, 8, 10, 10, 16, 16},
  {"mirrored by dw", 0, 7, 1, 0, 0, 8, 8, 30, 0, -16, 8},
  {"wider than the sprite", 0, 7, 1, 0, 0, 16, 8, 0, 0, 32, 8},
  {"centred", 0, 7, 1 | 0x10000, 0, 0, 8, 8, 10, 0, 8, 8},  -- texels at their edges: columns only
  {"batch", 10, 45, userdata("f64", 9, 2, "1,-4,0,8,8,10,10,16,16,16385,4,0,8,8,10,30,16,16")},
}) do
  cls(0)
  sspr(table.unpack(c, 4))
  local only = c[1] == "centred"
  printh(c[1] .. ": " .. row(c[2], only) .. " | " .. row(c[3], only) .. " | " .. row(c[3] + 1))
end
printh("kernel: exit")
_signal(33)
flip()
