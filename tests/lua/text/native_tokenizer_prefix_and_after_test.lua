-- The native scanner against the reference tokenizer on rules whose condition is on the line's text before
-- the cursor from its start (line_prefix) or on the text after the match (followed_by, not_followed_by), one
-- test for each form of pattern (tokenizer_oracle.lua).
local here = debug.getinfo(1, "S").source:match("^@(.*/)")
local O = dofile(here .. "tokenizer_oracle.lua")

O.condition_form_tests(function(form) return form.preceded_by == nil end)
