// Fuzzes the db module's where-clause builder and LIKE patterns with script text, line by line:
//   k<token>                         a keyword ("(", ")", "AND", "OR" in any case and spacing)
//   c<column>\t<operator>\t<count>   a condition with that many placeholders
//   l<mode><text>                    a LIKE pattern of the text (mode 0 to 4)
// A refused token leaves the text as it was; a complete where text must prepare in SQLite over a table with
// its columns and take exactly its placeholders; a pattern must match the text it was made from.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/sql_text.h"

namespace {

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Closer>;

sqlite3* database() {
  static const std::unique_ptr<sqlite3, Closer> db = [] {
    sqlite3* opened = nullptr;
    if (sqlite3_open(":memory:", &opened) != SQLITE_OK) std::abort();
    return std::unique_ptr<sqlite3, Closer>(opened);
  }();
  return db.get();
}

Statement prepare(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(database(), sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr);
  return Statement(statement);
}

// SQLite's own limits (nesting, variables) may refuse a text the grammar allows; anything else is a fault.
bool withinSqliteLimits() {
  const std::string_view message = sqlite3_errmsg(database());
  return message.find("too large") == std::string_view::npos && message.find("overflow") == std::string_view::npos &&
         message.find("too many") == std::string_view::npos && message.find("too deep") == std::string_view::npos;
}

void checkWhere(const WhereBuilder& builder, const std::vector<std::string>& columns, size_t placeholders) {
  if (!builder.complete() || builder.sql().empty()) return;
  std::string create = "CREATE TABLE t(";
  for (size_t i = 0; i < columns.size(); ++i) create += (i > 0 ? ",`" : "`") + columns[i] + "`";
  if (sqlite3_exec(database(), "DROP TABLE IF EXISTS t", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(database(), (create + ")").c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::abort();
  }
  std::string count;
  if (!buildCountSql("t", builder.sql(), count)) return;
  const Statement statement = prepare(count);
  if (!statement) {
    if (withinSqliteLimits()) std::abort();
    return;
  }
  if (static_cast<size_t>(sqlite3_bind_parameter_count(statement.get())) != placeholders) std::abort();
}

void checkLike(std::string_view text, LikeMode mode) {
  const std::string pattern = buildLikePattern(text, mode);
  const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return c > 0 && c < 0x7F; });
  if ((mode == LikeMode::Fuzzy && !ascii) || text.find('\0') != std::string_view::npos) return;
  const Statement statement = prepare("SELECT ? LIKE ? ESCAPE '\\'");
  sqlite3_bind_text(statement.get(), 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  sqlite3_bind_text(statement.get(), 2, pattern.data(), static_cast<int>(pattern.size()), SQLITE_STATIC);
  if (sqlite3_step(statement.get()) != SQLITE_ROW) {
    if (withinSqliteLimits()) std::abort();
    return;
  }
  if (sqlite3_column_int(statement.get(), 0) != 1) std::abort();
}

bool addCondition(WhereBuilder& builder, std::string_view line, std::vector<std::string>& columns,
                  size_t& placeholders) {
  const size_t firstTab = line.find('\t');
  const size_t secondTab = firstTab == std::string_view::npos ? firstTab : line.find('\t', firstTab + 1);
  if (secondTab == std::string_view::npos) return false;
  const std::string_view column = line.substr(0, firstTab);
  size_t count = 0;
  for (const char c : line.substr(secondTab + 1)) count = std::min<size_t>(count * 10 + (c & 0x0F), 64);
  if (!builder.addCondition(column, line.substr(firstTab + 1, secondTab - firstTab - 1), count)) return false;
  placeholders += count;
  const auto sameName = [&](const std::string& known) {
    return std::equal(known.begin(), known.end(), column.begin(), column.end(),
                      [](char a, char b) { return std::tolower(a) == std::tolower(b); });
  };
  if (std::none_of(columns.begin(), columns.end(), sameName)) columns.emplace_back(column);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  WhereBuilder builder;
  std::vector<std::string> columns;
  size_t placeholders = 0;
  for (size_t start = 0; start < input.size();) {
    const size_t end = std::min(input.find('\n', start), input.size());
    const std::string_view line = input.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const std::string before = builder.sql();
    bool added = false;
    if (line[0] == 'k') added = builder.addKeyword(line.substr(1));
    if (line[0] == 'c') added = addCondition(builder, line.substr(1), columns, placeholders);
    if ((line[0] == 'k' || line[0] == 'c') && !added && builder.sql() != before) std::abort();
    if (line[0] == 'l' && line.size() >= 2) checkLike(line.substr(2), static_cast<LikeMode>((line[1] & 0x0F) % 5));
  }
  checkWhere(builder, columns, placeholders);
  return 0;
}
