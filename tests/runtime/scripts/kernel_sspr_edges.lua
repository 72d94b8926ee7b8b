-- Test kernel: stretched sprites at the edges of their source, single and
-- batched. Sprite 1 is 8 x 8; texel column c has colour c + 1.
printh("kernel: boot")
poke(0x5508, 63, 63, 63, 63) pal()
local S = userdata("u8", 8, 8)
_set_draw_target(S)
for x = 0, 7 do rectfill(x, 0, x, 7, x + 1) end
_set_spr(1, S)
local T = userdata("u8", 480, 270)
_set_draw_target(T)
clip()

-- Row y as its first and last drawn column and the texel columns on it
-- (only the columns where a pixel centre falls on a texel edge).
local function row(y, columns_only)
  local first, last, texels = nil, nil, ""
  for x = 0, 479 do
    local c = pget(x, y)
    if c ~= 0 then
      first, last = first or x, x
      texels = texels .. (c - 1)
    end
  end
  if not first then return "empty" end
  return first .. ".." .. last .. (columns_only and "" or " " .. texels)
end

local function case(name, draw, y0, y1, columns_only)
  cls(0)
  draw()
  printh(name .. ": " .. row(y0, columns_only) .. " | rows " .. row(y1, columns_only) .. " | below " .. row(y1 + 1))
end

case("left clamp", function() sspr(1, -4, 0, 8, 8, 10, 10, 16, 16) end, 10, 25)
case("right cut, flipped", function() sspr(1, 4, 0, 8, 8, 10, 20, 16, 16, true) end, 20, 35)
case("wholly left", function() sspr(1, -20, 0, 8, 8, 10, 30, 16, 16) end, 30, 45)
case("doubled", function() sspr(1, 0, 0, 8, 8, 10, 10, 16, 16) end, 10, 25)
case("mirrored by dw", function() sspr(1, 0, 0, 8, 8, 30, 0, -16, 8) end, 0, 7)
case("wider than the sprite", function() sspr(1, 0, 0, 16, 8, 0, 0, 32, 8) end, 0, 7)
case("centred", function() sspr(1 | 0x10000, 0, 0, 8, 8, 10, 0, 8, 8) end, 0, 7, true)
case("batch", function()
  sspr(userdata("f64", 9, 2, "1,-4,0,8,8,10,10,16,16,16385,4,0,8,8,10,30,16,16"))
end, 10, 45)
case("batch right cut", function() sspr(userdata("f64", 9, 1, "16385,4,0,8,8,10,30,16,16")) end, 30, 45)
printh("kernel: exit")
_signal(33)
flip()
