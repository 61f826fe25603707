-- The native scanner against the plain-Lua reference tokenizer, line by line, for the oracle tests: tokens
-- and states must be equal on every line the native scan does not give up on; the fallback rate per reason
-- is printed.
local t = require("qz_test")
local here = debug.getinfo(1, "S").source:match("^@(.*/)")
local R = dofile(here .. "reference_tokenizer.lua")
local C = dofile(here .. "tokenizer_corpus.lua")
local nt = native_tokenizer

local O = { R = R, C = C }

local function describe(tokens)
  if not tokens then return "nil" end
  local out = {}
  for i, v in ipairs(tokens) do out[i] = string.format("%q", v) end
  return "{" .. table.concat(out, ", ") .. "}"
end

-- Compares one corpus line by line; returns the number of lines and the fallbacks per reason.
function O.compare(lines, scan_native, scan_reference, initial_state)
  local state, fallbacks = initial_state, {}
  for number, line in ipairs(lines) do
    local tokens, _, _, new_state = scan_native(line, state)
    local ref_tokens, ref_state = scan_reference(line, state)
    if tokens == nil then
      local _, _, reason = select(1, scan_native(line, state, true))
      fallbacks[reason] = (fallbacks[reason] or 0) + 1
      state = ref_state or initial_state
    else
      if not ref_tokens then
        error(string.format("line %d %q: native succeeded, reference gave up with %s", number, line, ref_state))
      end
      t.eq(describe(tokens), describe(ref_tokens), string.format("tokens of line %d %q", number, line))
      t.eq(new_state, ref_state, string.format("state after line %d %q", number, line))
      state = new_state
    end
  end
  return #lines, fallbacks
end

function O.report(name, count, fallbacks)
  local parts = {}
  for reason, n in pairs(fallbacks) do parts[#parts + 1] = string.format("%s %.2f%%", reason, 100 * n / count) end
  table.sort(parts)
  print(string.format("%s: %d lines, fallbacks: %s", name, count, #parts > 0 and table.concat(parts, ", ") or "none"))
end

-- One of C.condition_forms (the `index`-th, which seeds its lines) on 100 short lines, which must all scan
-- natively, and on long lines. A pattern that repeats a capture is matched where its walk says that it may
-- hold, within a bound of work per line: a long line on which it would need more gives up with
-- "context_guard", every other line scans. Lines past 1,024 bytes take the walk at once, so 600 and 1,500
-- bytes cover every form; lines of 6,000 are added where a repeated capture comes with ".-", ".*" or ".+",
-- through which a match reaches anywhere, as only there does such a length bring the bound within reach
-- (the reference's cost, the square of the line, makes them most of these tests' time).
function O.check_condition_form(index, form)
  math.randomseed(17, index)
  local def = C.condition_form_grammar(form)
  local tok, ref = nt.prepare(def), R.compile(def)
  local repeats, reaches = false, false
  for key, value in pairs(form) do
    if key ~= "name" then
      repeats = repeats or value:find("%%%d") ~= nil
      reaches = reaches or value:find("%f[%%.]%.[-*+]") ~= nil
    end
  end
  local short, long = {}, {}
  for _, length in ipairs((repeats and reaches) and { 600, 1500, 6000 } or { 600, 1500 }) do
    long[#long + 1] = ("ab "):rep(length // 3)
    long[#long + 1] = "(x) " .. ("ab "):rep(length // 3)
    long[#long + 1] = C.parenthesis_line(math.random, length)
  end
  for _ = 1, 100 do short[#short + 1] = C.parenthesis_line(math.random, math.random(0, 120)) end
  local function scan_native(line, state, stats) return nt.scan(tok, line, {}, C.SYMBOL_PATTERN, stats or false, state) end
  local function scan_reference(line, state) return R.scan(ref, line, state, C.SYMBOL_PATTERN) end
  local count, fallbacks = O.compare(short, scan_native, scan_reference, nil)
  t.eq(next(fallbacks), nil, form.name .. ": every short line scans natively")
  local long_count, long_fallbacks = O.compare(long, scan_native, scan_reference, nil)
  for reason in pairs(long_fallbacks) do
    t.truthy(repeats and reason == "context_guard", form.name .. ": a long line gives up with " .. reason)
  end
  for reason, n in pairs(long_fallbacks) do fallbacks[reason] = (fallbacks[reason] or 0) + n end
  O.report(form.name, count + long_count, fallbacks)
end

-- Registers a test of each condition form that `chosen(form)` picks.
function O.condition_form_tests(chosen)
  for index, form in ipairs(C.condition_forms) do
    if chosen(form) then t.test(form.name, function() O.check_condition_form(index, form) end) end
  end
end

return O
