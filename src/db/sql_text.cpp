// The SQL text builders. The byte classes use the "C" locale's rules (ASCII only), so a name's acceptance
// does not depend on the process's locale.
#include "db/sql_text.h"

#include <algorithm>
#include <array>

namespace {

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
char toAsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

void appendQuoted(std::string& sql, std::string_view name) {
  sql += '`';
  sql += name;
  sql += '`';
}

void appendQuotedList(std::string& sql, const std::vector<std::string>& names, std::string_view after) {
  for (size_t index = 0; index < names.size(); ++index) {
    if (index > 0) sql += ',';
    appendQuoted(sql, names[index]);
    sql += after;
  }
}

// The table between backticks, then " WHERE " and the where text when there is one.
void appendTableAndWhere(std::string& sql, std::string_view table, std::string_view where) {
  appendQuoted(sql, table);
  if (!where.empty()) {
    sql += " WHERE ";
    sql += where;
  }
}

bool fitsLimit(std::string& sql, size_t maximumLength) {
  if (sql.size() <= maximumLength) return true;
  sql.clear();
  return false;
}

// The text from `position` on past white space and comments.
size_t skipSpaceAndComments(std::string_view sql, size_t position) {
  while (position < sql.size()) {
    if (isAsciiSpace(sql[position])) {
      ++position;
    } else if (sql.substr(position, 2) == "--") {
      const size_t end = sql.find('\n', position);
      position = end == std::string_view::npos ? sql.size() : end + 1;
    } else if (sql.substr(position, 2) == "/*") {
      const size_t end = sql.find("*/", position + 2);
      position = end == std::string_view::npos ? sql.size() : end + 2;
    } else {
      break;
    }
  }
  return position;
}

// The word at `position` (after white space and comments) in upper case, and `position` moved past it.
std::string nextWord(std::string_view sql, size_t& position) {
  position = skipSpaceAndComments(sql, position);
  std::string word;
  while (position < sql.size() && (isAsciiLetter(sql[position]) || sql[position] == '_')) {
    word += toAsciiUpper(sql[position++]);
  }
  return word;
}

// A name as SQLite's tokenizer reads it: a run of letters, digits, "_", "$" and bytes above 127, or a text
// between quotes ("...", [...], `...` or '...', a doubled closing quote standing for one). Empty, and
// `quoted` false, when none stands at `position`.
struct SqlName {
  std::string text;  // without quotes, ASCII letters upper-cased as SQLite compares names
  bool quoted = false;
};

SqlName nextName(std::string_view sql, size_t& position) {
  position = skipSpaceAndComments(sql, position);
  SqlName name;
  if (position >= sql.size()) return name;
  const char opening = sql[position];
  if (opening == '"' || opening == '\'' || opening == '`' || opening == '[') {
    const char closing = opening == '[' ? ']' : opening;
    for (size_t at = position + 1; at < sql.size(); ++at) {
      if (sql[at] != closing) {
        name.text += toAsciiUpper(sql[at]);
      } else if (closing != ']' && at + 1 < sql.size() && sql[at + 1] == closing) {
        name.text += closing;
        ++at;
      } else {
        position = at + 1;
        name.quoted = true;
        return name;
      }
    }
    name.text.clear();  // no closing quote: not a name
    return name;
  }
  while (position < sql.size() &&
         (isAsciiLetter(sql[position]) || isAsciiDigit(sql[position]) || sql[position] == '_' || sql[position] == '$' ||
          static_cast<unsigned char>(sql[position]) >= 0x80)) {
    name.text += toAsciiUpper(sql[position++]);
  }
  return name;
}

// Whether the next name is the bare keyword (not a quoted name that spells it); `position` moves past it
// only then.
bool nextIsKeyword(std::string_view sql, size_t& position, std::string_view keyword) {
  size_t after = position;
  const SqlName name = nextName(sql, after);
  if (name.quoted || name.text != keyword) return false;
  position = after;
  return true;
}

// The position just past the statement that begins at `position`: past its ";" outside quotes and comments,
// or the end of the text.
size_t endOfStatement(std::string_view sql, size_t position) {
  while (position < sql.size()) {
    const char c = sql[position];
    if (c == ';') return position + 1;
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      const size_t closing = sql.find(c == '[' ? ']' : c, position + 1);  // a doubled quote reads as two texts
      position = closing == std::string_view::npos ? sql.size() : closing + 1;
    } else if (sql.substr(position, 2) == "--" || sql.substr(position, 2) == "/*") {
      position = skipSpaceAndComments(sql, position);
    } else {
      ++position;
    }
  }
  return position;
}

constexpr std::array<std::string_view, 10> kComparisonOperators = {"=",  "!=",   "<",  "<=", ">",
                                                                   ">=", "LIKE", "IN", "IS", "IS NOT"};

}  // namespace

bool isPlainIdentifier(std::string_view name) {
  if (name.empty() || !(isAsciiLetter(name[0]) || name[0] == '_')) return false;
  for (const char c : name) {
    if (!(isAsciiLetter(c) || isAsciiDigit(c) || c == '_')) return false;
  }
  return true;
}

std::string buildLikePattern(std::string_view text, LikeMode mode) {
  std::string pattern;
  pattern.reserve(text.size() * 4 + 4);
  const bool leading = mode == LikeMode::Anywhere || mode == LikeMode::Ends || mode == LikeMode::Fuzzy;
  const bool trailing = mode == LikeMode::Anywhere || mode == LikeMode::Begins || mode == LikeMode::Fuzzy;
  if (leading) pattern += '%';
  for (size_t index = 0; index < text.size(); ++index) {
    const char c = text[index];
    if (mode == LikeMode::Fuzzy && index > 0) pattern += '%';
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  if (trailing) pattern += '%';
  return pattern;
}

std::string buildSelectSql(std::string_view table, const std::vector<std::string>& columns, std::string_view where) {
  std::string sql = "SELECT ";
  if (columns.empty()) {
    sql += '*';
  } else {
    appendQuotedList(sql, columns, "");
  }
  sql += " FROM ";
  appendTableAndWhere(sql, table, where);
  return sql;
}

bool buildCountSql(std::string_view table, std::string_view where, std::string& sql) {
  sql = "SELECT COUNT(*) FROM ";
  appendTableAndWhere(sql, table, where);
  return fitsLimit(sql, 2047);
}

bool buildDeleteSql(std::string_view table, std::string_view where, std::string& sql) {
  sql = "DELETE FROM ";
  appendTableAndWhere(sql, table, where);
  return fitsLimit(sql, 2047);
}

bool buildDropSql(std::string_view objectKind, std::string_view name, std::string& sql) {
  sql = "DROP ";
  sql += objectKind;
  sql += " IF EXISTS ";
  appendQuoted(sql, name);
  sql += ';';
  return fitsLimit(sql, 1023);
}

std::string buildInsertSql(std::string_view table, const std::vector<std::string>& columns) {
  std::string sql = "INSERT INTO ";
  appendQuoted(sql, table);
  sql += '(';
  appendQuotedList(sql, columns, "");
  sql += ") VALUES(";
  for (size_t index = 0; index < columns.size(); ++index) sql += index > 0 ? ",?" : "?";
  sql += ')';
  return sql;
}

std::string buildUpdateSql(std::string_view table, const std::vector<std::string>& columns, std::string_view where) {
  std::string sql = "UPDATE ";
  appendQuoted(sql, table);
  sql += " SET ";
  appendQuotedList(sql, columns, "=?");
  sql += " WHERE ";
  sql += where;
  return sql;
}

std::string normalizeWhereToken(std::string_view token) {
  size_t begin = 0;
  size_t end = token.size();
  while (begin < end && isAsciiSpace(token[begin])) ++begin;
  while (end > begin && isAsciiSpace(token[end - 1])) --end;
  std::string normalized(token.substr(begin, std::min<size_t>(end - begin, 15)));
  for (char& c : normalized) c = toAsciiUpper(c);
  return normalized;
}

std::string WhereBuilder::comparisonOperator(std::string_view operatorText) {
  std::string normalized = normalizeWhereToken(operatorText);
  for (const std::string_view known : kComparisonOperators) {
    if (normalized == known) return normalized;
  }
  return {};
}

bool WhereBuilder::addKeyword(std::string_view token) {
  const std::string keyword = normalizeWhereToken(token);
  if (keyword == "(" && expectOperand_) {
    sql_ += '(';
    ++depth_;
    return true;
  }
  if (keyword == ")" && depth_ >= 1 && !expectOperand_) {
    sql_ += ')';
    --depth_;
    return true;
  }
  if ((keyword == "AND" || keyword == "OR") && !expectOperand_) {
    sql_ += ' ';
    sql_ += keyword;
    sql_ += ' ';
    expectOperand_ = true;
    return true;
  }
  return false;
}

bool WhereBuilder::addCondition(std::string_view column, std::string_view operatorText, size_t placeholderCount) {
  const std::string comparison = comparisonOperator(operatorText);
  const bool inList = comparison == "IN";
  if (!expectOperand_ || !isPlainIdentifier(column) || comparison.empty()) return false;
  if (inList ? placeholderCount < 1 : placeholderCount != 1) return false;
  appendQuoted(sql_, column);
  sql_ += ' ';
  sql_ += comparison;
  sql_ += ' ';
  if (inList) {
    sql_ += '(';
    for (size_t index = 0; index < placeholderCount; ++index) sql_ += index > 0 ? ",?" : "?";
    sql_ += ')';
  } else {
    sql_ += '?';
  }
  // The LIKE builders escape with "\", so the escape must be declared for their patterns to match literally.
  if (comparison == "LIKE") sql_ += " ESCAPE '\\'";
  expectOperand_ = false;
  return true;
}

bool startsOrEndsTransaction(std::string_view sql) {
  size_t position = 0;
  const std::string first = nextWord(sql, position);
  if (first == "BEGIN" || first == "COMMIT" || first == "END") return true;
  if (first != "ROLLBACK") return false;
  std::string next = nextWord(sql, position);
  if (next == "TRANSACTION") next = nextWord(sql, position);
  return next != "TO";
}

std::string openedSavepoint(std::string_view sql) {
  size_t position = 0;
  return nextIsKeyword(sql, position, "SAVEPOINT") ? nextName(sql, position).text : std::string();
}

std::string releasedSavepoint(std::string_view sql) {
  size_t position = 0;
  if (!nextIsKeyword(sql, position, "RELEASE")) return {};
  nextIsKeyword(sql, position, "SAVEPOINT");
  return nextName(sql, position).text;
}

bool namesBusyTimeoutPragma(std::string_view sql) {
  for (size_t start = 0; start < sql.size(); start = endOfStatement(sql, start)) {
    size_t position = start;
    if (!nextIsKeyword(sql, position, "PRAGMA")) continue;
    SqlName name = nextName(sql, position);
    position = skipSpaceAndComments(sql, position);
    if (position < sql.size() && sql[position] == '.') name = nextName(sql, ++position);  // after a schema
    if (name.text == "BUSY_TIMEOUT") return true;
  }
  return false;
}
