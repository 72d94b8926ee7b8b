-- Test kernel: a matrix product is refused before it starts when its cost
-- passes the ceiling (2^26 multiply-adds); one just below it works.
printh("kernel: boot")
_signal(37)
for _, n in ipairs({350, 406, 407, 1000}) do
  local a, b = userdata("f64", n, n), userdata("f64", n, n)
  a[0], b[0] = 2, 3
  local p = a:matmul(b)
  local q = a:matmul(b, true)
  printh(n .. ": " .. (p and p:width() .. "x" .. p:height() .. " " .. p[0] or "refused") ..
         ", in place " .. (q and "done " .. a[0] or "refused, a[0] " .. a[0]))
end
printh("kernel: exit")
_signal(33)
while true do flip() end
