-- The native scanner against the reference tokenizer on rules whose condition is on the text before the
-- cursor (preceded_by), one test for each form of pattern (tokenizer_oracle.lua).
local here = debug.getinfo(1, "S").source:match("^@(.*/)")
local O = dofile(here .. "tokenizer_oracle.lua")

O.condition_form_tests(function(form) return form.preceded_by ~= nil end)
