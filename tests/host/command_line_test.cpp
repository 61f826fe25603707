#include "host/command_line.h"

#include <gtest/gtest.h>

#include <map>

namespace {

ResolvedScale resolveWith(const std::vector<std::string>& args, std::map<std::string, std::string> env = {},
                          std::optional<float> display = std::nullopt) {
  readHostOptions(args);
  return resolveScale(
      commandLineScale(),
      [&env](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
      },
      [display] { return display; });
}

TEST(CommandLine, ScaleFromCommandLineIsPercentAbove100) {
  const ResolvedScale scale = resolveWith({"qz", "--scale=150"});
  EXPECT_DOUBLE_EQ(scale.value, 1.5);
  EXPECT_EQ(scale.source, "--scale");
  EXPECT_EQ(scale.rawText, "150");
}

TEST(CommandLine, ScaleIsCappedAt20) {
  EXPECT_DOUBLE_EQ(resolveWith({"qz", "--scale=100"}).value, 20.0);
  EXPECT_DOUBLE_EQ(resolveWith({"qz", "--scale=2500"}).value, 20.0);
  EXPECT_DOUBLE_EQ(resolveWith({"qz", "--scale=0.01"}).value, 0.01);
}

TEST(CommandLine, InvalidScaleTextsAreIgnored) {
  for (const char* text : {"1.5x", "0", "-2", "inf", "nan", "", "1e999"}) {
    const ResolvedScale scale = resolveWith({"qz", std::string("--scale=") + text}, {{"GDK_SCALE", "3"}});
    EXPECT_EQ(scale.source, "GDK_SCALE") << text;
  }
}

TEST(CommandLine, LastScaleOptionWinsEvenWhenEmpty) {
  EXPECT_EQ(resolveWith({"qz", "--scale=2", "--scale="}).source, "default");
  EXPECT_DOUBLE_EQ(resolveWith({"qz", "--scale=2", "--scale=3"}).value, 3.0);
}

TEST(CommandLine, ScaleKeepsSurroundingBlanksInRawText) {
  const ResolvedScale leading = resolveWith({"qz", "--scale= 2"});
  EXPECT_DOUBLE_EQ(leading.value, 2.0);
  EXPECT_EQ(leading.rawText, " 2");
  const ResolvedScale trailing = resolveWith({"qz", "--scale=2 \t"});
  EXPECT_DOUBLE_EQ(trailing.value, 2.0);
  EXPECT_EQ(trailing.rawText, "2 \t");
}

TEST(CommandLine, ScaleUsesDotWhateverTheLocale) {
  EXPECT_EQ(parseScaleNumber("1.25"), 1.25);
  EXPECT_EQ(parseScaleNumber("1,25"), std::nullopt);
  EXPECT_EQ(parseScaleNumber("\2402"), std::nullopt) << "a non-ASCII byte is not white space";
  EXPECT_EQ(parseScaleNumber("2\xA0"), std::nullopt);
}

TEST(CommandLine, EnvironmentVariablesInOrderFirstValidWins) {
  const ResolvedScale scale = resolveWith({"qz"}, {{"QZ_SCALE", "abc"}, {"GDK_SCALE", "2"}, {"QT_SCALE_FACTOR", "3"}});
  EXPECT_EQ(scale.source, "GDK_SCALE");
  EXPECT_DOUBLE_EQ(scale.value, 2.0);
  EXPECT_EQ(scale.rawText, "2");
  EXPECT_EQ(resolveWith({"qz"}, {{"NIMB_SCALE", "1.25"}, {"GDK_SCALE", "2"}}).source, "NIMB_SCALE");
}

TEST(CommandLine, CommandLineWinsOverEnvironmentAndDisplay) {
  const ResolvedScale scale = resolveWith({"qz", "--scale=3"}, {{"QZ_SCALE", "2"}}, 1.5f);
  EXPECT_EQ(scale.source, "--scale");
  EXPECT_DOUBLE_EQ(scale.value, 3.0);
}

TEST(CommandLine, DisplayScaleThenDefault) {
  const ResolvedScale display = resolveWith({"qz"}, {}, 1.5f);
  EXPECT_EQ(display.source, "DISPLAY_SCALE");
  EXPECT_DOUBLE_EQ(display.value, 1.5);
  EXPECT_EQ(display.rawText, "");
  EXPECT_EQ(resolveWith({"qz"}, {}, 0.0f).source, "default");
  EXPECT_EQ(resolveWith({"qz"}, {{"QZ_SCALE", ""}}).source, "default");
}

TEST(CommandLine, NewInstanceAnywhereAfterProgramPath) {
  readHostOptions({"qz", "--file", "--new-instance"});
  EXPECT_EQ(singleInstanceMode(), 0);
  readHostOptions({"--new-instance"});
  EXPECT_EQ(singleInstanceMode(), 1) << "element 0 is never an option";
}

TEST(CommandLine, StandardInputPass) {
  EXPECT_TRUE(standardInputRequested({"qz", "--stdin"}));
  EXPECT_TRUE(standardInputRequested({"qz", "-"}));
  EXPECT_FALSE(standardInputRequested({"qz", "--stdin", "--help"}));
  EXPECT_FALSE(standardInputRequested({"qz", "-", "/?"}));
  EXPECT_TRUE(standardInputRequested({"qz", "--file", "--help", "--stdin"}));
  EXPECT_FALSE(standardInputRequested({"qz", "--file", "-"}));
  EXPECT_FALSE(standardInputRequested({"--stdin"}));
  EXPECT_FALSE(standardInputRequested({}));
}

TEST(CommandLine, ArgumentsFromArgv) {
  char program[] = "qz", first[] = "a b";
  char* argv[] = {program, first, nullptr};
  EXPECT_EQ(buildUtf8Arguments(2, argv), (std::vector<std::string>{"qz", "a b"}));
  EXPECT_TRUE(buildUtf8Arguments(0, argv).empty());
}

}  // namespace
