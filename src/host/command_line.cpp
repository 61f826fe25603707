// Command-line options and scale resolution. Nothing here fails start-up: an option or variable that does
// not parse is ignored.
#include "host/command_line.h"

#include <locale.h>

#include <cmath>
#include <cstdlib>

namespace {

constexpr std::string_view kScalePrefix = "--scale=";

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// strtod in the "C" locale, so "." is the decimal point whatever the process locale says.
double parseCDouble(const char* text, char** end) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(text, end, cLocale);
}

}  // namespace

int& singleInstanceMode() {
  static int mode = 1;
  return mode;
}

CommandLineScale& commandLineScale() {
  static CommandLineScale scale;
  return scale;
}

ResolvedScale& resolvedScale() {
  static ResolvedScale scale;
  return scale;
}

std::vector<std::string> buildUtf8Arguments(int argc, char** argv) {
  std::vector<std::string> args;
  if (argc < 1) return args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.emplace_back(argv != nullptr && argv[i] != nullptr ? argv[i] : "");
  return args;
}

std::optional<double> parseScaleNumber(std::string_view text) {
  const std::string copy(text);  // strtod needs a terminator; a NUL inside ends the number text
  char* end = nullptr;
  const double value = parseCDouble(copy.c_str(), &end);
  if (end == copy.c_str() || !std::isfinite(value) || !(value > 0.0)) return std::nullopt;
  for (size_t i = static_cast<size_t>(end - copy.c_str()); i < copy.size(); ++i) {
    if (!isWhiteSpace(copy[i])) return std::nullopt;
  }
  return value;
}

void readHostOptions(const std::vector<std::string>& args) {
  singleInstanceMode() = 1;
  commandLineScale() = CommandLineScale{};
  std::optional<std::string> pending;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--new-instance") singleInstanceMode() = 0;
    if (args[i].starts_with(kScalePrefix)) pending = args[i].substr(kScalePrefix.size());
  }
  if (!pending || pending->empty()) return;
  if (const auto value = parseScaleNumber(*pending)) commandLineScale() = {true, *value, *pending};
}

bool standardInputRequested(const std::vector<std::string>& args) {
  bool requested = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--file") {
      ++i;
    } else if (arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?") {
      return false;
    } else if (arg == "--stdin" || arg == "-") {
      requested = true;
    }
  }
  return requested;
}

ResolvedScale resolveScale(const CommandLineScale& commandLine, const EnvironmentLookup& environment,
                           const DisplayScaleQuery& firstDisplayScale) {
  ResolvedScale result;
  bool fromEnvironment = false;
  for (const char* name : {"QZ_SCALE", "NIMB_SCALE", "GDK_SCALE", "QT_SCALE_FACTOR"}) {
    const char* text = environment(name);
    if (text == nullptr || text[0] == '\0') continue;
    if (const auto value = parseScaleNumber(text)) {
      result = {*value, name, text};
      fromEnvironment = true;
      break;
    }
  }
  if (!fromEnvironment) {
    if (const auto display = firstDisplayScale(); display && *display > 0.0f) {
      result = {static_cast<double>(*display), "DISPLAY_SCALE", ""};
    }
  }
  if (commandLine.valid) result = {commandLine.value, "--scale", commandLine.rawText};
  if (result.value > 100.0) result.value *= 0.01;
  if (result.value > 20.0) result.value = 20.0;
  return result;
}
