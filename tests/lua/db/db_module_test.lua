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

-- SQLite names the rollback journal after the database, 8 bytes longer ("-journal"): a file name that leaves
-- it no room on the file system (255 bytes a name) is refused at the open, creating nothing, instead of
-- opening a database whose every write fails; a name that leaves room (82 three-byte characters) works.
t.test("open refuses a file name too long for its journal and keeps every shorter one working", function()
  for _, length in ipairs({ 248, 251, 255 }) do
    local path = dir .. "/" .. string.rep("j", length)
    t.eq(t.results(db.open(path)), t.results(nil, "database file name too long: " .. length
      .. " bytes leave no room for its journal's name (at most 247 bytes here)"), length)
    t.eq(exists(path), false, length)
  end
  for _, name in ipairs({ string.rep("k", 247), string.rep("\u{6F22}", 82) }) do
    local d = assert(db.open(dir .. "/" .. name))
    assert(d:exec("CREATE TABLE t(a)"))
    assert(d:exec("INSERT INTO t VALUES(1)"))
    assert(d:transaction(function() assert(d:exec("INSERT INTO t VALUES(2)")) end))
    t.eq(d:query_sync("SELECT count(*) FROM t"), { { 2 } }, #name)
    assert(d:close())
  end
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

-- How many inserts, each its own transaction on a file synced to this disk, take about `seconds` together:
-- enough that a queue of them outlasts the stop's grace period of 2 s, however fast the disk.
local function inserts_lasting(seconds)
  local d = assert(db.open(t.tmpdir() .. "/probe.db"))
  assert(d:exec("PRAGMA synchronous=FULL"))
  assert(d:exec("CREATE TABLE IF NOT EXISTS t(a)"))
  local started = system.get_time()
  for i = 1, 20 do assert(d:exec("INSERT INTO t VALUES(?)", { i })) end
  local each = (system.get_time() - started) / 20
  assert(d:close())
  return math.max(200, math.min(8000, math.ceil(seconds / each)))
end

-- A file database synced to disk, with `count` inserts queued, each its own transaction.
local function queue_inserts(path, count, first)
  local d = assert(db.open(path))
  assert(d:exec("PRAGMA synchronous=FULL"))
  assert(d:exec("CREATE TABLE t(a)"))
  local queued = first and { assert(d:query_async(first)) } or {}
  for i = 1, count do queued[#queued + 1] = assert(d:exec_async("INSERT INTO t VALUES(?)", { i })) end
  return d, queued
end

local function rows_on_disk(path)
  local reader = assert(db.open_readonly(path))
  local count = reader:select_count("t")
  assert(reader:close())
  return count
end

t.test("close and collection keep every insert queued before them", function()
  local count = inserts_lasting(4)
  local closed, queued = queue_inserts(t.tmpdir() .. "/closed.db", count)
  t.eq(t.results(closed:close()), t.results(true))
  t.eq(queued[count]:result(), { changes = 1, insert_id = count })
  t.eq(rows_on_disk(t.tmpdir() .. "/closed.db"), count)
  local collected = queue_inserts(t.tmpdir() .. "/collected.db", count)
  collected = nil
  collectgarbage()
  t.eq(rows_on_disk(t.tmpdir() .. "/collected.db"), count)
end)

t.test("a statement that never ends is cut after the grace period and the inserts behind it are kept", function()
  local path = t.tmpdir() .. "/endless.db"
  local count = inserts_lasting(2)
  local d, queued = queue_inserts(path, count, ENDLESS)
  t.eq(t.results(d:close()), t.results(false, "interrupted"))
  t.eq(d:last_error_code(), 9)
  t.eq(t.results(queued[1]:result()), t.results(nil, "interrupted"))
  t.eq(queued[count + 1]:result(), { changes = 1, insert_id = count })
  t.eq(rows_on_disk(path), count)
  t.eq(t.results(d:close()), t.results(true), "the object is closed all the same")
  local reader = assert(db.open(path))
  local collected = assert(reader:query_async(ENDLESS))
  reader = nil
  collectgarbage()
  t.truthy(collected:ready(), "collecting the object stopped its worker")
  t.eq(t.results(collected:result()), t.results(nil, "interrupted"))
end)

t.test("databases collected together share one grace period", function()
  local queries, behind = {}, {}
  local dbs = {}
  for n = 1, 6 do
    local d = assert(db.open(t.tmpdir() .. "/together" .. n .. ".db"))
    assert(d:exec("CREATE TABLE t(a)"))
    queries[n] = assert(d:query_async(ENDLESS))
    behind[n] = assert(d:exec_async("INSERT INTO t VALUES(?)", { n }))
    dbs[n] = d
  end
  dbs = nil
  local started = system.get_time()
  collectgarbage()
  local took = system.get_time() - started
  t.truthy(took >= 2 and took < 6, "six grace periods would take 12 s; took " .. took)
  for n = 1, 6 do
    t.eq(t.results(queries[n]:result()), t.results(nil, "interrupted"))
    t.eq(behind[n]:result(), { changes = 1, insert_id = 1 })
    t.eq(rows_on_disk(t.tmpdir() .. "/together" .. n .. ".db"), 1)
  end
end)

-- Finalizers run newest first, so an object's finalizer may save into a database opened before it while the
-- databases opened after it are collected in the same cycle (a runaway queued on each of those holds the
-- collection until their shared deadline): a single insert and a transaction of a hundred inserts of a
-- thousand rows each, which runs long past that deadline, are kept.
t.test("a finalizer saves into a database opened before it, whatever was opened after it", function()
  local THOUSAND_ROWS = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
    .. "INSERT INTO t SELECT i FROM n"
  for _, others in ipairs({ 0, 1, 4 }) do
    local path = t.tmpdir() .. "/saved" .. others .. ".db"
    local app = assert(db.open(path))
    assert(app:exec("CREATE TABLE t(a)"))
    local saved
    local function save(into)
      saved = { into:exec("INSERT INTO t VALUES(1)") }
      saved[#saved + 1] = into:transaction(function()
        for _ = 1, 100 do assert(into:exec(THOUSAND_ROWS)) end
      end)
    end
    local holder = setmetatable({ app }, { __gc = function(self) save(self[1]) end })
    local runaways = {}
    for n = 1, others do
      local d = assert(db.open(t.tmpdir() .. "/after" .. others .. "_" .. n .. ".db"))
      runaways[n] = assert(d:query_async(ENDLESS))
    end
    app, holder = nil, nil
    collectgarbage()
    t.eq(saved, { true, true }, others .. " databases opened after it")
    t.eq(rows_on_disk(path), 1 + 100 * 1000, others .. " databases opened after it")
    for n = 1, others do t.eq(t.results(runaways[n]:result()), t.results(nil, "interrupted")) end
  end
end)
