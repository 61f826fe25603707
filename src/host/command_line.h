// The command line and the display scale: the UTF-8 argument vector, the options the host acts on itself
// (single-instance mode, scale, help, standard input) and the scale that the scripts receive as SCALE.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CommandLineScale {
  bool valid = false;
  double value = 0.0;
  std::string rawText;
};

struct ResolvedScale {
  double value = 1.0;
  std::string source = "default";
  std::string rawText;
};

// Process-wide records, set by start-up and read when the globals are published.
int& singleInstanceMode();
CommandLineScale& commandLineScale();
ResolvedScale& resolvedScale();

std::vector<std::string> buildUtf8Arguments(int argc, char** argv);

// The scale number rule: a strtod number with "." as the decimal point whatever the locale, finite and above
// 0, followed by nothing but white space.
std::optional<double> parseScaleNumber(std::string_view text);

// Options pass over arguments 1..n: "--new-instance" and the last "--scale=".
void readHostOptions(const std::vector<std::string>& args);

// Help and standard-input pass: true when "--stdin" or "-" asks for standard input and no help option ends
// the scan first. "--file" makes the next argument a value.
bool standardInputRequested(const std::vector<std::string>& args);

using EnvironmentLookup = std::function<const char*(const char* name)>;
using DisplayScaleQuery = std::function<std::optional<float>()>;

// Resolves the scale: "--scale=" > the first valid of QZ_SCALE, NIMB_SCALE, GDK_SCALE, QT_SCALE_FACTOR > the
// first display's content scale > 1.0; above 100 is a percentage; the result is capped at 20. The display is
// queried only when no environment variable passed.
ResolvedScale resolveScale(const CommandLineScale& commandLine, const EnvironmentLookup& environment,
                           const DisplayScaleQuery& firstDisplayScale);
