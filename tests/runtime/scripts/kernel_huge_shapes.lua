-- Test kernel: ellipses too large to trace, drawn on the rows inside the clip
-- box, and shapes at the bound, traced, against the row formula of the walk.
printh("kernel: boot")
_set_draw_target(userdata("u8", 480, 270))
poke(0x5508, 63, 63, 63, 63) pal() clip()

-- Row y of the walk round a quarter ellipse: it leaves the row at the first x
-- where neither (x + 1, y - 1/2) nor (x + 1/2, y) lies inside (the half-width
-- of a filled row), and enters it one past where it left the row above when
-- (that x + 1/2, y) lies inside.
local function reach(a, b, y)
  local x1 = math.ceil(a / b * math.sqrt(b * b - (y - 0.5) ^ 2)) - 1
  return math.max(0, x1, math.ceil(a / b * math.sqrt(b * b - y * y) - 0.5))
end
local function entry(a, b, y)
  local e = y < b and reach(a, b, y + 1) or 0
  return y < b and e + 0.5 < a / b * math.sqrt(b * b - y * y) and e + 1 or e
end
local function on_target(x0, x1) return math.max(0, math.min(x1, 479) - math.max(x0, 0) + 1) end

-- Pixels on the rows above the centre (xc, yc): the filled rows, or the outline's.
local function formula(xc, yc, a, b, outline)
  local n = 0
  for y = yc - 269, yc do
    if outline and y >= 1 and y <= b then
      local from, to = entry(a, b, y), reach(a, b, y)
      n += on_target(xc + from, xc + to) + on_target(xc - to, xc - math.max(from, 1))
    elseif not outline and y >= 0 and y <= b then
      n += on_target(xc - reach(a, b, y), xc + reach(a, b, y))
    end
  end
  return n
end

local function shape(name, draw, want)
  cls(0) draw()
  local got = 0
  for y = 0, 269 do for x = 0, 479 do if pget(x, y) ~= 0 then got += 1 end end end
  printh(name .. ": formula " .. tostring(got == want) .. ", pixels " .. (got > 100000 and "> 100000" or got > 0 and "some" or "none"))
end

for _, r in ipairs({1100000, 1 << 20}) do
  shape("circfill " .. r, function() circfill(240, r + 50, r, 7) end, formula(240, r + 50, r, r))
  shape("circ " .. r, function() circ(240, r + 50, r, 8) end, formula(240, r + 50, r, r, true))
end
shape("ovalfill", function() ovalfill(-2000000, 100, 2000000, 4000000, 9) end, formula(0, 2000050, 2000000, 1999950))
printh("kernel: exit")
_signal(33)
flip()
