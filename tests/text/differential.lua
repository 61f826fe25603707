-- What the differential scripts share: the pieces random patterns and subjects are made of, and the recording
-- of mismatches between packed result lists (table.pack's form).
local M = {}

function M.patternPieces()
  return {
    "a", "b", "c", "x", "\0", ".", "%a", "%d", "%s", "%w", "%p", "%l", "%u", "%x", "%c", "%g", "%A", "%S", "%W",
    "%.", "%%", "%]", "%z", "[abc]", "[^a-c]", "[%a_]", "[]]", "[^]]", "[a-]", "[%]x]", "[\0-a]", "[%d%s]",
    "%b()", "%bab", "%bxx", "%f[%w]", "%f[%W]", "%f[a]", "%f[%z]", "%f[\0]", "(", ")", "()", "%1", "%2", "%0",
    "*", "+", "-", "?", "$", "^", "%", "[", "]", "%b", "%f", "%fa", "[^", "[%", "(.-)", "(a*)", "(%a+)", "%1*",
  }
end

function M.subjectBytes()
  return { "a", "b", "c", "x", "(", ")", " ", "\0", "_", "1", "]", "%", "-", "A" }
end

function M.describe(results)
  if results == nil then return "nil" end
  local out = {}
  for i = 1, results.n do
    local v = results[i]
    out[#out + 1] = type(v) == "string" and string.format("%q", v) or tostring(v)
  end
  return "{" .. table.concat(out, ", ") .. "}"
end

-- check(label, expected, actual) compares two packed lists (values and number types; strings through
-- `normalize` when given) and keeps the first 20 mismatches; results() gives them and the number of checks.
function M.recorder(normalize)
  local mismatches, cases = {}, 0
  local function same(a, b)
    if a.n ~= b.n then return false end
    for i = 1, a.n do
      local x, y = a[i], b[i]
      if normalize and type(x) == "string" and type(y) == "string" then x, y = normalize(x), normalize(y) end
      if x ~= y or math.type(x) ~= math.type(y) then return false end
    end
    return true
  end
  local recorder = {}
  function recorder.check(label, expected, actual)
    cases = cases + 1
    if not same(expected, actual) and #mismatches < 20 then
      mismatches[#mismatches + 1] = string.format("%s: expected %s, got %s", label, M.describe(expected),
        M.describe(actual))
    end
  end
  function recorder.results() return mismatches, cases end
  return recorder
end

return M
