-- Tokenizers that a resolver releases in the middle of a nested scan, once the scan has remembered things
-- about their rules (walks of text-before conditions, region end searches), and then prepares new ones: the
-- scan goes on with the tokens of a scan that released nothing. ctest runs this file with ASan's quarantine
-- off, so that a new tokenizer can take the memory of a released one as it would in the normal build.
local t = require("qz_test")
local nt = native_tokenizer

local SYMBOL = "[%w_]+"
local LANGUAGES, RULES = 10, 20

-- The embedded languages take turns between two shapes of the same rules, the second with patterns of many
-- more items and a balance, so that anything the scan kept about one is the wrong size for the next.
local conditions = {
  { key = "preceded_by", small = "%s", large = ("[%w ]"):rep(500) .. "%b()%s" },
  { key = "line_prefix", small = "<.-", large = ("[%w<>%[%] ]"):rep(500) .. "%b()" },
}

local function language(condition, number)
  local pattern = number % 2 == 1 and condition.small or condition.large
  local rules = {}
  for i = 1, RULES do rules[i] = { pattern = "%a+", type = "w" .. i, [condition.key] = pattern .. ("%d"):rep(i) } end
  rules[#rules + 1] = { pattern = { "%[", "%]" }, type = "bracket" }
  rules[#rules + 1] = { pattern = "%a+", type = "word" }
  return nt.prepare({ patterns = rules })
end

-- Rule k opens language k between "<k" and ">".
local function outer()
  local rules = {}
  for k = 1, LANGUAGES do rules[k] = { pattern = { "<" .. k .. " ", ">" }, type = "embed", syntax = k } end
  return nt.prepare({ patterns = rules })
end

-- Longer than 1 KB, so that the conditions are decided by their walks from the first word on.
local function line()
  local parts = {}
  for k = 1, LANGUAGES do parts[k] = "<" .. k .. " " .. ("z "):rep(50) .. "[w]> " end
  return table.concat(parts)
end

local releases = {
  {
    name = "finalised by their __gc",
    release = function(cache, index) getmetatable(cache[index]).__gc(cache[index]) end,
  },
  {
    name = "finalised inside a scan that the resolver runs",
    release = function(cache, index)
      local inner = nt.prepare({ patterns = { { pattern = { "<", ">" }, type = "embed", syntax = "none" } } })
      nt.scan(inner, "<x>", {}, SYMBOL, false, "\0", function()
        getmetatable(cache[index]).__gc(cache[index])
        return false
      end)
    end,
  },
  {
    name = "dropped from the resolver cache and collected",
    release = function(cache, index)
      cache[index] = nil
      collectgarbage()
      collectgarbage()
    end,
  },
}

-- A resolver that raises, or answers a reason, once it has released tokenizers.
local endings = {
  { name = "raises", finish = function() error("no language") end, check = function(ok, message)
    t.truthy(not ok and tostring(message):find("no language"), tostring(message))
  end },
  { name = "gives up", finish = function() return "no_language" end, check = function(ok, _, _, reason)
    t.truthy(ok and reason == "no_language", tostring(reason))
  end },
}

for _, condition in ipairs(conditions) do
  local function resolve(_, index) return language(condition, index) end
  local expected = t.results(nt.scan(outer(), line(), {}, SYMBOL, true, "\0", resolve))

  for _, way in ipairs(releases) do
    t.test(condition.key .. ": tokenizers " .. way.name .. " after their level closed leave the scan intact", function()
      t.truthy(expected[1], "the line scans natively")
      local tokenizer = outer()
      local r = t.results(nt.scan(tokenizer, line(), {}, SYMBOL, true, "\0", function(_, index)
        if index > 1 then way.release(debug.getuservalue(tokenizer, 2), index - 1) end
        return language(condition, index)
      end))
      t.eq(r[1], expected[1])
      t.eq(r[4], expected[4])
    end)
  end

  for _, ending in ipairs(endings) do
    t.test(condition.key .. ": a resolver that " .. ending.name .. " after releasing tokenizers leaves the next scan "
      .. "intact", function()
      local tokenizer = outer()
      ending.check(pcall(nt.scan, tokenizer, line(), {}, SYMBOL, true, "\0", function(_, index)
        local cache = debug.getuservalue(tokenizer, 2)
        if index > 1 then getmetatable(cache[index - 1]).__gc(cache[index - 1]) end
        if index == LANGUAGES // 2 then return ending.finish() end
        return language(condition, index)
      end))
      collectgarbage()
      debug.setuservalue(tokenizer, {}, 2)  -- the finalised answers go
      t.eq(t.results(nt.scan(tokenizer, line(), {}, SYMBOL, true, "\0", resolve)), expected)
    end)
  end
end

-- Arguments past the eighth are the caller's, never the scan's own: a table given there leaves the scan to
-- hold the tokenizers it keeps itself, whether the table holds the inner tokenizers as keys (which are then
-- finalised) or has weak keys (and the inner tokenizers are then collected).
local extras = {
  { name = "a table holding the inner tokenizers as keys", table = function() return {} end, holds = true,
    way = releases[1] },
  { name = "a table with weak keys", table = function() return setmetatable({}, { __mode = "k" }) end,
    way = releases[3] },
}

for _, condition in ipairs(conditions) do
  local function resolve(_, index) return language(condition, index) end
  local expected = t.results(nt.scan(outer(), line(), {}, SYMBOL, true, "\0", resolve))
  for _, extra in ipairs(extras) do
    t.test(condition.key .. ": " .. extra.name .. " in every argument past the eighth, tokenizers "
      .. extra.way.name .. ": the scan is intact", function()
      local given = extra.table()
      local tokenizer = outer()
      local r = t.results(nt.scan(tokenizer, line(), {}, SYMBOL, true, "\0", function(_, index)
        if index > 1 then extra.way.release(debug.getuservalue(tokenizer, 2), index - 1) end
        local inner = language(condition, index)
        if extra.holds then given[inner] = true end
        return inner
      end, nil, given, given, given, given, given, given, given, given))
      collectgarbage()
      collectgarbage()
      t.eq(r[1], expected[1])
      t.eq(r[4], expected[4])
    end)
  end
end
