-- Test kernel: ellipses too large to trace, drawn on the rows inside the clip
-- box, against the row formula of the walk; and shapes at the bound, traced.
printh("kernel: boot")
local T = userdata("u8", 480, 270)
_set_draw_target(T)
poke(0x5508, 63, 63, 63, 63) pal() clip()

-- The walk leaves row y (0..b) at the first x where neither (x + 1, y - 1/2)
-- nor (x + 1/2, y) lies inside: the half-width of the filled row.
local function reach(a, b, y)
  local k = a / b
  local x1 = math.ceil(k * math.sqrt(b * b - (y - 0.5) ^ 2)) - 1
  local x2 = math.ceil(k * math.sqrt(b * b - y * y) - 0.5)
  return math.max(0, x1, x2)
end
-- It enters row y one past where it left the row above when (x + 1/2, y) lies inside.
local function entry(a, b, y)
  if y == b then return 0 end
  local e = reach(a, b, y + 1)
  return e + 0.5 < a / b * math.sqrt(b * b - y * y) and e + 1 or e
end
local function clipped(x0, x1) return math.max(0, math.min(x1, 479) - math.max(x0, 0) + 1) end

-- Pixels on the target's rows above the centre (xc, yc).
local function fill_formula(xc, yc, a, b)
  local n = 0
  for row = 0, 269 do
    local y = yc - row
    if y >= 0 and y <= b then
      local e = reach(a, b, y)
      n += clipped(xc - e, xc + e)
    end
  end
  return n
end
local function outline_formula(xc, yc, a, b)
  local n = 0
  for row = 0, 269 do
    local y = yc - row
    if y >= 1 and y <= b then
      local from, to = entry(a, b, y), reach(a, b, y)
      n += clipped(xc + from, xc + to) + clipped(xc - to, xc - math.max(from, 1))
    end
  end
  return n
end

local function count(c)
  local n = 0
  for y = 0, 269 do
    for x = 0, 479 do
      if pget(x, y) == c then n += 1 end
    end
  end
  return n
end

local function shape(name, draw, colour, want, least)
  cls(0)
  draw()
  local got = count(colour)
  printh(name .. ": formula " .. tostring(got == want) .. ", at least " .. least .. " " .. tostring(got >= least))
end

local r = 1100000
shape("circfill huge", function() circfill(240, r + 50, r, 7) end, 7, fill_formula(240, r + 50, r, r), 100000)
shape("circ huge", function() circ(240, r + 50, r, 8) end, 8, outline_formula(240, r + 50, r, r), 400)
shape("ovalfill huge", function() ovalfill(-2000000, 100, 2000000, 4000000, 9) end, 9,
  fill_formula(0, 2000050, 2000000, 1999950), 40000)
r = 1 << 20
shape("circfill 2^20", function() circfill(240, r + 50, r, 10) end, 10, fill_formula(240, r + 50, r, r), 100000)
shape("circ 2^20", function() circ(240, r + 50, r, 11) end, 11, outline_formula(240, r + 50, r, r), 400)
printh("kernel: exit")
_signal(33)
flip()
