-- Statements and queries with the script's own SQL: binds, results, async objects, changes and row ids.
local t = require("qz_test")

local function fresh()
  local d = assert(db.open())
  assert(d:exec("CREATE TABLE t(id INTEGER PRIMARY KEY, a, b)"))
  return d
end

t.test("values keep their Lua types through a round trip", function()
  local d = fresh()
  assert(d:exec("INSERT INTO t(a, b) VALUES(?, ?)", { 7, "a\0b" }))
  assert(d:exec("INSERT INTO t(a, b) VALUES(?, ?)", { 0.5, true }))
  assert(d:exec("INSERT INTO t(a, b) VALUES(?, ?)", { false, nil }))
  local rows = d:query_sync("SELECT a, b FROM t ORDER BY id")
  t.same(rows[1][1], 7)
  t.eq(rows[1][2], "a\0b")
  t.same(rows[2][1], 0.5)
  t.same(rows[2][2], 1)
  t.same(rows[3][1], 0)
  t.eq(rows[3][2], nil)
  t.eq(#d:query_sync("SELECT x'0001'")[1][1], 2, "blobs come back as strings")
end)

t.test("a NULL cell leaves a hole in its row", function()
  local d = fresh()
  assert(d:exec("INSERT INTO t(a, b) VALUES(1, NULL)"))
  local row = d:query_sync("SELECT a, b, 3 FROM t")[1]
  t.eq(row[1], 1)
  t.eq(row[2], nil)
  t.eq(row[3], 3)
end)

t.test("binds: missing table, empty table, holes, extra values and bad values", function()
  local d = fresh()
  t.eq(t.results(d:query_sync("SELECT ?, ?")), t.results(nil, "bind count mismatch"))
  t.eq(d:last_error_code(), 25)
  t.eq(d:query_sync("SELECT ?, ?", {}), { {} })
  local holes = { 1, nil, 3, nil, 5, 6, 7, 8 }
  t.eq(#holes, 3, "this table's border")
  t.eq(d:query_sync("SELECT ?, ?, ?", holes), { { 1, nil, 3 } })
  t.eq(d:query_sync("SELECT ?", { 1, 2, 3 }), { { 1 } })
  t.eq(t.results(d:query_sync("SELECT ?", 5)), t.results(nil, "bind values must be table"))
  t.eq(d:last_error_code(), 20)
  t.eq(t.results(d:exec("SELECT ?", { {} })), t.results(false, "unsupported bind type"))
  t.eq(t.results(d:exec("SELECT ?", { print })), t.results(false, "unsupported bind type"))
  t.raises(function() d:exec(nil) end, "bad argument #1 to 'exec'")
end)

t.test("query returns an iterator over every row once", function()
  local d = fresh()
  for i = 1, 3 do assert(d:insert("t", { a = i })) end
  local seen = {}
  for row in assert(d:query("SELECT a FROM t WHERE a >= ? ORDER BY a", { 2 })) do seen[#seen + 1] = row[1] end
  t.eq(seen, { 2, 3 })
  local next_row = assert(d:query("SELECT 1"))
  t.eq(next_row(), { 1 })
  t.eq(t.results(next_row()), t.results())
  t.eq(t.results(next_row()), t.results())
end)

t.test("query may write, query_sync may not", function()
  local d = fresh()
  assert(d:query("INSERT INTO t(a) VALUES(1)"))
  t.eq(t.results(d:query_sync("INSERT INTO t(a) VALUES(2)")), t.results(nil, "query_sync requires read-only SQL"))
  t.eq(d:last_error_code(), 8)
  t.eq(d:query_sync("SELECT count(*) FROM t"), { { 1 } })
  t.eq(t.results(d:query("SELEC")), t.results(nil, 'near "SELEC": syntax error'))
end)

t.test("affected and insert_id follow the last statement", function()
  local d = fresh()
  assert(d:exec("INSERT INTO t(a) VALUES(1), (2), (3)"))
  t.eq(d:insert_id(), 3)
  assert(d:exec("UPDATE t SET b = 1 WHERE a >= 2"))
  t.eq(d:affected(), 2)
end)

t.test("an async query's result is taken once and ready stays true", function()
  local d = fresh()
  assert(d:insert("t", { a = 1 }))
  local query = assert(d:query_async("SELECT a FROM t WHERE a = ?", { 1 }))
  d:query_sync("SELECT 1")  -- runs after the async query, so that one is ready now
  t.eq(query:ready(), true)
  t.eq(query:result(), { { 1 } })
  t.eq(query:ready(), true)
  t.eq(t.results(query:result()), t.results(nil, "query result already consumed"))
end)

t.test("async failures come back through result", function()
  local d = fresh()
  local bad = assert(d:query_async("SELECT * FROM missing"))
  local write = assert(d:query_async("DELETE FROM t"))
  local read = assert(d:exec_async("SELECT 1"))
  d:affected()
  t.eq(t.results(bad:result()), t.results(nil, "no such table: missing"))
  t.eq(t.results(write:result()), t.results(nil, "query_sync requires read-only SQL"))
  t.eq(t.results(read:result()), t.results(nil, "exec_async requires mutating SQL"))
  t.eq(d:last_error(), nil, "async objects record nothing in the DB")
end)

t.test("an async exec reports its changes and row id", function()
  local d = fresh()
  local insert = assert(d:exec_async("INSERT INTO t(a) VALUES(?), (?)", { 1, 2 }))
  t.eq(d:affected(), 2, "affected runs after the async exec")
  t.eq(insert:result(), { changes = 2, insert_id = 2 })
  t.eq(t.results(insert:result()), t.results(nil, "exec result already consumed"))
end)

t.test("exec_async is refused inside a transaction while query_async sees its changes", function()
  local d = fresh()
  assert(d:transaction(function()
    assert(d:insert("t", { a = 9 }))
    t.eq(t.results(d:exec_async("DELETE FROM t")), t.results(nil, "exec_async is unavailable during transaction or batch"))
    t.eq(d:last_error_code(), 21)
    local query = assert(d:query_async("SELECT a FROM t"))
    d:affected()
    t.eq(query:result(), { { 9 } })
  end))
end)

t.test("many async queries arrive complete and in order", function()
  local d = fresh()
  local pending = {}
  for i = 1, 500 do pending[i] = assert(d:query_async("SELECT ?, ?", { i, "row " .. i })) end
  for i = 1, 500 do
    while not pending[i]:ready() do end
    t.eq(pending[i]:result(), { { i, "row " .. i } })
  end
end)
