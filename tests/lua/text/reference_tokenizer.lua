-- A plain-Lua tokenizer with the native scanner's semantics, for tests and benchmarks only: rules tried in
-- order with string.find(line, "^" .. pattern, i), symbols, escaped regions, carried state, span captures,
-- strategies and nested languages. It covers the grammar features the corpora use (no line patterns, no
-- post-symbols tables, no next-line conditions) and returns nil and a reason where the native scan gives up.
local R = {}

local STRATEGIES = { longest = 1, priority_first = 2, priority_longest = 3 }

function R.compile(def)
  local grammar = { def = def, rules = {}, strategy = 0, symbols = def.symbols or {}, cache = {} }
  if type(def.match) == "table" then grammar.strategy = STRATEGIES[def.match.strategy] or 0 end
  for index, entry in ipairs(def.patterns) do
    local rule = { index = index, priority = tonumber(entry.priority) or 0 }
    if rule.priority ~= rule.priority then rule.priority = 0 end
    if type(entry.pattern) == "table" then
      rule.start, rule.close, rule.escape = entry.pattern[1], entry.pattern[2], entry.pattern[3]
      rule.nested = entry.syntax ~= nil and entry.syntax ~= false
    else
      rule.start = entry.pattern
      rule.stop = (type(entry.stop_on) == "string" and entry.stop_on ~= "" and entry.stop_on)
        or (type(entry.terminators) == "string" and entry.terminators ~= "" and entry.terminators) or nil
    end
    if type(entry.type) == "table" then rule.captures, rule.style = entry.type, entry.type[1] else rule.style = entry.type end
    rule.line_start = entry.line_start
    rule.line_prefix = entry.line_prefix and ("^" .. entry.line_prefix .. "$")
    rule.preceded_by = entry.preceded_by and (entry.preceded_by .. "$")
    rule.not_preceded_by, rule.followed_by, rule.not_followed_by = entry.not_preceded_by, entry.followed_by, entry.not_followed_by
    rule.delim_type = entry.delim_type
    grammar.rules[index] = rule
  end
  return grammar
end

-- A give-up travels as an error value of this shape, caught by the scan functions.
local GiveUp = {}
local function give_up(reason) error(setmetatable({ reason = reason }, GiveUp), 0) end

local function decode(line, at, limit)
  local b = line:byte(at + 1)
  if not b or at >= limit then return nil end
  if b < 0x80 then return b, 1 end
  local n, low, high = 0, 0x80, 0xBF
  if b >= 0xC2 and b <= 0xDF then n = 2 elseif b >= 0xE0 and b <= 0xEF then n = 3
  elseif b >= 0xF0 and b <= 0xF4 then n = 4 else return nil end
  if b == 0xE0 then low = 0xA0 elseif b == 0xED then high = 0x9F elseif b == 0xF0 then low = 0x90
  elseif b == 0xF4 then high = 0x8F end
  if at + n > limit then return nil end
  local cp = b & (0x7F >> n)
  for k = 1, n - 1 do
    local c = line:byte(at + 1 + k)
    if (k == 1 and (c < low or c > high)) or (k > 1 and (c & 0xC0) ~= 0x80) then return nil end
    cp = (cp << 6) | (c & 0x3F)
  end
  return cp, n
end

local function attaches_always(c)
  return (c >= 0x300 and c <= 0x36F) or (c >= 0x1AB0 and c <= 0x1AFF) or (c >= 0x1DC0 and c <= 0x1DFF)
    or (c >= 0x20D0 and c <= 0x20FF) or (c >= 0xFE00 and c <= 0xFE0F) or (c >= 0xFE20 and c <= 0xFE2F)
    or (c >= 0xE0100 and c <= 0xE01EF) or c == 0x200D or (c >= 0x1F3FB and c <= 0x1F3FF)
end
local function regional(c) return c and c >= 0x1F1E6 and c <= 0x1F1FF end

local function attached_length(line, previous_start, start, stop)
  local lead = start
  for _ = 1, 4 do
    if lead <= previous_start then break end
    lead = lead - 1
    if (line:byte(lead + 1) & 0xC0) ~= 0x80 then break end
  end
  if lead == start then return 0 end
  local previous, n = decode(line, lead, start)
  if not previous or lead + n ~= start then return 0 end
  local at = start
  while at < stop do
    local c, len = decode(line, at, stop)
    if not c or not (attaches_always(c) or (regional(c) and regional(previous))) then break end
    previous, at = c, at + len
  end
  return at - start
end

-- Token output with merging and the re-attachment of combining marks.
local function new_output(line)
  local out = { written = {}, deferred = line:find("[\128-\255]") ~= nil }
  function out.add(a, z, style)
    local pending = out.pending
    if pending and pending.style == style then pending.z = z return end
    if pending then out.written[#out.written + 1] = pending end
    local last = out.written[#out.written]
    if out.deferred and last and line:byte(a + 1) >= 0x80 then
      local n = attached_length(line, last.a, a, z)
      if n == z - a then
        out.pending = table.remove(out.written)
        out.pending.z = z
        return
      end
      if n > 0 then last.z, a = a + n, a + n end
    end
    out.pending = { style = style, a = a, z = z }
  end
  function out.finish()
    if out.pending then out.written[#out.written + 1] = out.pending end
    local tokens = {}
    for _, token in ipairs(out.written) do
      tokens[#tokens + 1] = token.style
      tokens[#tokens + 1] = line:sub(token.a + 1, token.z)
    end
    return tokens
  end
  return out
end

local function region_end(rule, line, from)
  while true do
    local s, e = line:find(rule.close, from + 1)
    if not s then return nil end
    local start = s - 1
    if not rule.escape or rule.escape == "" or start == e then return start, e end
    local escape, run = rule.escape:byte(1), 0
    while run < start and line:byte(start - run) == escape do run = run + 1 end
    if run % 2 == 0 then return start, e end
    from = e
  end
end

local function try_rule(rule, line, c)
  if c > 0 and rule.not_preceded_by and line:sub(c, c):find(rule.not_preceded_by) then return nil end
  if c > 0 and rule.line_start then return nil end
  local found = table.pack(line:find("^" .. rule.start, c + 1))
  if not found[1] then return nil end
  local e, captures = found[2], {}
  for i = 3, found.n do
    if type(found[i]) == "string" then captures[#captures + 1] = found[i] end
  end
  local use_captures = rule.captures ~= nil and not (rule.close and rule.delim_type)
  if rule.stop then
    local s = line:sub(c + 1, e):find(rule.stop)
    if s == 1 then return nil end
    if s then e, use_captures = c + s - 1, false end
  end
  if e <= c then give_up("empty_match") end
  if rule.line_prefix and not line:sub(1, c):find(rule.line_prefix) then return nil end
  if rule.preceded_by and not line:sub(1, c):find(rule.preceded_by) then return nil end
  local match = { rule = rule, e = e, captures = use_captures and captures or {} }
  local follow, empty_end = e, false
  if rule.close then
    local s, t = region_end(rule, line, e)
    if s and s < t then match.s, match.t, follow = s, t, t elseif s then empty_end = true end
  end
  local rest = line:sub(follow + 1)
  if rule.not_followed_by and rest:find("^" .. rule.not_followed_by) then return nil end
  if rule.followed_by and not rest:find("^" .. rule.followed_by) then return nil end
  if empty_end then give_up("empty_match") end
  return match
end

local function better(grammar, m, best)
  local p, q = m.rule.priority, best.rule.priority
  if grammar.strategy == 1 then return m.e > best.e end
  if grammar.strategy == 2 then return p > q end
  if grammar.strategy == 3 then return p > q or (p == q and m.e > best.e) end
  return false
end

local function match_rules(grammar, line, c)
  local best
  for _, rule in ipairs(grammar.rules) do
    local m = try_rule(rule, line, c)
    if m and (not best or better(grammar, m, best)) then best = m end
    if best and grammar.strategy == 0 then break end
  end
  return best
end

local function symbol_style(symbols, text)
  local style = rawget(symbols, text)
  if style and type(style) ~= "string" then give_up("symbol_style") end
  return style
end

local function emit_match(out, grammar, line, c, m)
  local rule, e = m.rule, m.e
  local style = symbol_style(grammar.symbols, line:sub(c + 1, e))
  if style then return out.add(c, e, style) end
  if #m.captures == 0 then return out.add(c, e, (rule.close and rule.delim_type) or rule.style) end
  local base = #rule.captures == 1 and "normal" or rule.style
  local p = c
  for i, capture in ipairs(m.captures) do
    if #capture > 0 then
      local f = line:sub(p + 1, e):find(capture, 1, true)
      if f then
        f = p + f - 1
        if f > p then out.add(p, f, base) end
        local cs = #rule.captures == 1 and rule.captures[1] or (rule.captures[i] or base)
        out.add(f, f + #capture, cs)
        p = f + #capture
      end
    end
  end
  if e > p then out.add(p, e, base) end
end

local function emit_region(out, rule, b, s, t)
  if rule.delim_type then
    if s > b then out.add(b, s, rule.style) end
    if t > s then out.add(s, t, rule.delim_type) end
  elseif t > b then
    out.add(b, t, rule.style)
  end
end

local function fallback(out, grammar, line, c, symbol_pattern)
  local s, e = line:find("^" .. symbol_pattern, c + 1)
  if s then
    if e <= c then give_up("empty_match") end
    out.add(c, e, symbol_style(grammar.symbols, line:sub(c + 1, e)) or "normal")
    return e
  end
  if c >= #line then return nil end
  out.add(c, c + 1, "normal")
  return c + 1
end

local function plain_scan(grammar, line, state, symbol_pattern)
  local out = new_output(line)
  if #line == 0 then return {}, state end
  local c, step_at_end = 0, false
  if state then
    local rule = grammar.rules[state]
    local s, t = region_end(rule, line, 0)
    if not s then
      emit_region(out, rule, 0, #line, #line)
      return out.finish(), state
    end
    if s == t then give_up("empty_match") end
    emit_region(out, rule, 0, s, t)
    state, c, step_at_end = nil, t, true
  end
  while c < #line or step_at_end do
    step_at_end = false
    local m = match_rules(grammar, line, c)
    if m then
      emit_match(out, grammar, line, c, m)
      if m.rule.close and m.s then
        emit_region(out, m.rule, m.e, m.s, m.t)
        state, c, step_at_end = nil, m.t, true
      elseif m.rule.close then
        emit_region(out, m.rule, m.e, #line, #line)
        state, c = m.rule.index, #line
      else
        c = m.e
      end
    else
      c = fallback(out, grammar, line, c, symbol_pattern)
      if not c then break end
    end
  end
  return out.finish(), state
end

-- Nested form: `state` is a language state string, `resolve(grammar, rule_index)` returns a grammar, false or
-- a reason string.
local function nested_scan(grammar, line, state, symbol_pattern, resolve)
  local out = new_output(line)
  local levels, open, c, prepass_due = nil, 0, 0, true
  local bytes = { state:byte(1, -1) }

  local function resolved(level_grammar, index)
    local answer = level_grammar.cache[index]
    if answer == nil then
      answer = resolve(level_grammar, index)
      if type(answer) == "string" then give_up(answer) end
      level_grammar.cache[index] = answer
    end
    return answer
  end
  local function restore()
    levels, open = { { grammar = grammar } }, 0
    for _, b in ipairs(bytes) do
      local level = levels[#levels]
      if b == 0 then break end
      if b > #level.grammar.rules then
        if #levels == 1 then open = b end
        break
      end
      local inner = level.grammar.rules[b].nested and resolved(level.grammar, b)
      if not inner then open = b break end
      levels[#levels + 1] = { grammar = inner, parent = level.grammar.rules[b] }
    end
  end
  local function set_byte(level, value)
    for k = #bytes + 1, level do bytes[k] = 0 end
    bytes[level] = value
  end
  local function parent_end()
    local parent = levels[#levels].parent
    if parent then return region_end(parent, line, c) end
  end
  local function current() return levels[#levels].grammar end
  local function close_levels()
    while #levels > 1 do
      local s, t = parent_end()
      if s ~= c then break end
      if s == t then give_up("empty_match") end
      local parent = levels[#levels].parent
      out.add(s, t, parent.delim_type or parent.style)
      c = t
      local depth = #levels - 1
      for k = #bytes, depth + 1, -1 do bytes[k] = nil end
      bytes[depth] = 0
      restore()
      prepass_due = true
    end
  end

  restore()
  while c < #line do
    local step_done = false
    if open ~= 0 then
      local rule = current().rules[open]
      if not rule or not rule.close then give_up("continuation") end
      local is, it = region_end(rule, line, c)
      local ps, pt = parent_end()
      if (is and is == it) or (ps and ps == pt) then give_up("empty_match") end
      if is and (not ps or is <= ps) then
        emit_region(out, rule, c, is, it)
        c, open = it, 0
        set_byte(#levels, 0)
        step_done = true
      elseif ps then
        if ps > c then out.add(c, ps, rule.style) end
        c = ps
      else
        emit_region(out, rule, c, #line, #line)
        c = #line
        break
      end
    end
    if not step_done then
      close_levels()
      if c >= #line then break end
      prepass_due = false
      local g = current()
      local m = match_rules(g, line, c)
      if m then
        if m.rule.close and m.rule.index > 255 then give_up("continuation") end
        emit_match(out, g, line, c, m)
        c = m.e
        if m.rule.close then
          set_byte(#levels, m.rule.index)
          open = m.rule.index
          local inner = m.rule.nested and resolved(g, m.rule.index)
          if inner then
            levels[#levels + 1] = { grammar = inner, parent = m.rule }
            open, prepass_due = 0, true
          end
        end
      else
        c = fallback(out, g, line, c, symbol_pattern)
        if not c then break end
      end
    end
  end
  return out.finish(), string.char(table.unpack(bytes))
end

-- R.scan(grammar, line, state, symbol_pattern [, resolve]) -> tokens, new state; or nil, reason
function R.scan(grammar, line, state, symbol_pattern, resolve)
  local ok, tokens, new_state = pcall(resolve and nested_scan or plain_scan, grammar, line, state, symbol_pattern,
    resolve)
  if ok then return tokens, new_state end
  if getmetatable(tokens) == GiveUp then return nil, tokens.reason end
  error(tokens, 0)
end

return R
