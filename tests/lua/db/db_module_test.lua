-- The db module's functions and the life of a DB object: opening, closing and the last-error record.
local t = require("qz_test")
local dir = t.tmpdir()

local function exists(path)
  local f = io.open(path, "rb")
  if f then f:close() end
  return f ~= nil
end

local function all_rows(d)
  local rows = {}
  for row in d.rows, d do rows[#rows + 1] = row end
  return rows
end

t.test("the LIKE builders escape %, _ and \\ and add their wildcards", function()
  t.eq(db.like("50%_a\\b"), "50\\%\\_a\\\\b")
  t.eq(db.any_like(""), "%%")
  t.eq(db.begins_like(""), "%")
  t.eq(db.ends_like(""), "%")
  t.eq(db.fuzzy_like("ab"), "%a%b%")
  t.eq(db.fuzzy_like("_"), "%\\_%")
  t.eq(db.like(12), "12")
  t.raises(function() db.like({}) end, "bad argument #1")
end)

t.test("a LIKE pattern from the builders matches its text literally", function()
  local d = assert(db.open())
  assert(d:exec("CREATE TABLE t(name)"))
  for _, name in ipairs({ "50%", "500", "5_0", "a\\b" }) do assert(d:insert("t", { name = name })) end
  local function names(pattern)
    assert(d:select("t", { "name" }, d:where({ "name", "like", pattern })))
    local found = {}
    for _, row in ipairs(all_rows(d)) do found[#found + 1] = row[1] end
    table.sort(found)
    return found
  end
  t.eq(names(db.any_like("50%")), { "50%" })
  t.eq(names(db.any_like("5_")), { "5_0" })
  t.eq(names(db.ends_like("\\b")), { "a\\b" })
  t.eq(names(db.begins_like("5")), { "50%", "500", "5_0" })
  t.eq(names(db.fuzzy_like("50")), { "50%", "500", "5_0" })
end)

t.test("version and selftest", function()
  t.truthy(db.version():match("^3%.%d+%.%d+$"), db.version())
  t.eq(t.results(db.selftest()), t.results(true))
end)

t.test("rm removes a database with its companions and needs a file path", function()
  local path = dir .. "/rm.db"
  for _, suffix in ipairs({ "", "-journal", "-wal", "-shm" }) do assert(io.open(path .. suffix, "w")):close() end
  t.eq(db.rm(path), true)
  t.eq(exists(path), false)
  t.eq(exists(path .. "-shm"), false)
  t.eq(db:rm(path), true)
  t.eq(t.results(db.rm(":memory:")), t.results(false, "rm requires a file path"))
  t.eq(t.results(db.rm("")), t.results(false, "rm requires a file path"))
end)

t.test("open takes nil or nothing for memory, creates a missing file and refuses an empty path", function()
  local d = assert(db.open())
  t.eq(d:query_sync("SELECT 1"), { { 1 } })
  assert(d:close())
  assert(db.open(nil)):close()
  t.eq(t.results(db.open("")), t.results(nil, "invalid UTF-8 path"))
  local path = dir .. "/created.db"
  assert(db.open(path)):close()
  t.eq(exists(path), true)
  t.eq(t.results(db.open(dir .. "/no/such/dir.db")), t.results(nil, "unable to open database file"))
  t.raises(function() db.open({}) end, "bad argument #1")
end)

t.test("open_readonly needs an existing file and creates nothing", function()
  t.eq(t.results(db.open_readonly(":memory:")), t.results(nil, "open_readonly requires a file path"))
  t.eq(t.results(db.open_readonly("")), t.results(nil, "open_readonly requires a file path"))
  t.eq(t.results(db.open_readonly(dir .. "/absent.db")), t.results(nil, "unable to open database file"))
  t.eq(exists(dir .. "/absent.db"), false)
  t.eq(t.results(db.open_readonly(dir)), t.results(nil, "unable to open database file"))
  local text = dir .. "/text.db"
  assert(io.open(text, "w")):write(string.rep("x", 4096)):close()
  t.eq(t.results(db.open_readonly(text)), t.results(nil, "file is not a database"))
end)

t.test("close is refused inside a transaction and succeeds twice afterwards", function()
  local d = assert(db.open())
  assert(d:transaction(function()
    t.eq(t.results(d:close()), t.results(false, "cannot close during transaction or batch"))
    t.eq(d:last_error_code(), 21)
    assert(d:exec("CREATE TABLE t(a)"))
  end))
  t.eq(d:has_table("t"), true)
  t.eq(t.results(d:close()), t.results(true))
  t.eq(t.results(d:close()), t.results(true))
end)

t.test("methods of a closed object fail in their shape with code 21", function()
  local d = assert(db.open())
  assert(d:close())
  t.eq(d:affected(), 0)
  t.eq(d:last_error(), "database is closed")
  t.eq(d:last_error_code(), 21)
  t.eq(d:insert_id(), 0)
  t.eq(t.results(d:exec("SELECT 1")), t.results(false, "database is closed"))
  t.eq(t.results(d:query_sync("SELECT 1")), t.results(nil, "database is closed"))
  t.eq(t.results(d:select_count("t")), t.results(nil, "database is closed"))
  t.eq(t.results(d:insert("t", { a = 1 })), t.results(false, "database is closed"))
  t.eq(t.results(d:batch(1, function() end)), t.results(false, "database is closed"))
  t.truthy(d:where({ "a", 1 }), "where does not need the connection")
end)

t.test("last_error is set by a failure and cleared by the next success", function()
  local d = assert(db.open())
  t.eq(d:last_error(), nil)
  t.eq(d:last_error_code(), nil)
  t.eq(t.results(d:exec("SELEC 1")), t.results(false, 'near "SELEC": syntax error'))
  t.eq(d:last_error(), 'near "SELEC": syntax error')
  t.eq(d:last_error_code(), 1)
  assert(d:exec("SELECT 1"))
  t.eq(d:last_error(), nil)
  t.eq(d:last_error_code(), nil)
  t.eq(t.results(d:where()), t.results(nil, "invalid where tokens at token 2"))
  t.eq(d:last_error(), nil, "where records nothing")
end)

t.test("selected rows stay readable after close", function()
  local d = assert(db.open())
  assert(d:exec("CREATE TABLE t(a)"))
  assert(d:exec("INSERT INTO t VALUES(1), (2)"))
  assert(d:select("t", { "a" }))
  assert(d:close())
  t.eq(all_rows(d), { { 1 }, { 2 } })
end)

t.test("pending async results survive their collected DB", function()
  local d = assert(db.open())
  local query = assert(d:query_async("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) SELECT count(*) FROM n"))
  d = nil
  collectgarbage()
  collectgarbage()
  t.eq(query:ready(), true)
  t.eq(query:result(), { { 20000 } })
end)

t.test("the userdata types", function()
  local d = assert(db.open())
  local mt = getmetatable(d)
  t.eq(mt.__index, mt)
  t.eq(type(mt.__gc), "function")
  t.eq(getmetatable(d:query_async("SELECT 1")).__index ~= nil, true)
  local where = d:where({ "a", 1 })
  t.eq(tostring(where), "`a` = ?")
  t.raises(function() return where.sql end, "attempt to index")
  t.eq(debug.getregistry()["DB.Query"].__index, nil)
end)

local ENDLESS = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c"

t.test("close and collection interrupt a statement that never ends, after the requests queued before it", function()
  local path = t.tmpdir() .. "/endless.db"
  local d = assert(db.open(path))
  assert(d:exec("CREATE TABLE t(a)"))
  local insert = assert(d:exec_async("INSERT INTO t VALUES(1)"))
  local endless = assert(d:query_async(ENDLESS))
  t.eq(t.results(d:close()), t.results(true))
  t.truthy(insert:ready() and endless:ready())
  t.eq(t.results(endless:result()), t.results(nil, "interrupted"))
  local reader = assert(db.open(path))
  t.eq(reader:select_count("t"), 1, "the insert queued before it committed")
  local collected = assert(reader:query_async(ENDLESS))
  reader = nil
  collectgarbage()
  t.truthy(collected:ready(), "collecting the object stopped its worker")
  t.eq(t.results(collected:result()), t.results(nil, "interrupted"))
end)
