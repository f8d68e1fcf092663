-- wrk script: GET /api/translate for the keys of the benchmark's store
-- (tables T1..T100 of keys K<t>_0..K<t>_999), in a pseudo-random order.
math.randomseed(42)

request = function()
  local t = math.random(1, 100)
  local r = math.random(0, 999)
  return wrk.format("GET", "/api/translate/T" .. t .. "/K" .. t .. "_" .. r)
end
