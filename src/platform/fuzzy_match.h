// Ranking a candidate text against a typed pattern: matched bytes in runs score higher, skipped text costs.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The score of text against pattern, or nothing when the text runs out before the pattern. Both end at
// their first zero byte; spaces in either are skipped without cost. ASCII letters match either case at a
// cost of 1. The sum is 64-bit: long runs pass the 32-bit range.
std::optional<int64_t> fuzzyMatchScore(std::string_view text, std::string_view pattern);
