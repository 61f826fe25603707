#include "platform/shell_link.h"

#include <unistd.h>

#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kHasIdList = 1u << 0, kHasLinkInfo = 1u << 1, kHasName = 1u << 2, kHasRelativePath = 1u << 3;
constexpr uint32_t kIsUnicode = 1u << 7, kForceNoLinkInfo = 1u << 8;

void putU16(std::string& out, uint32_t value) {
  out += static_cast<char>(value & 0xff);
  out += static_cast<char>(value >> 8 & 0xff);
}
void putU32(std::string& out, uint32_t value) {
  putU16(out, value & 0xffff);
  putU16(out, value >> 16);
}
void putAt(std::string& out, size_t at, uint32_t value) {
  std::string bytes;
  putU32(bytes, value);
  out.replace(at, 4, bytes);
}
std::string utf16(std::u16string_view text) {
  std::string out;
  for (const char16_t unit : text) putU16(out, unit);
  return out;
}

// A shortcut made field by field as the documented format lays it out.
struct LinkBuilder {
  bool unicodeStrings = true;
  bool forceNoLinkInfo = false;
  std::optional<std::string> idList;
  std::optional<std::string> localBase, suffix;             // ANSI bytes
  std::optional<std::u16string> localBaseWide, suffixWide;  // make the LinkInfo header 0x24 bytes
  std::optional<std::u16string> name, relative;             // written in the form unicodeStrings says

  bool hasLinkInfo() const { return localBase || suffix || localBaseWide || suffixWide; }

  std::string linkInfo() const {
    const bool wide = localBaseWide || suffixWide;
    std::string info(wide ? 0x24 : 0x1C, '\0');
    putAt(info, 4, static_cast<uint32_t>(info.size()));
    putAt(info, 8, localBase || localBaseWide ? 1 : 0);
    const auto append = [&info](size_t field, const std::string& bytes) {
      putAt(info, field, static_cast<uint32_t>(info.size()));
      info += bytes;
    };
    if (localBase) append(16, *localBase + '\0');
    append(24, suffix.value_or("") + '\0');
    if (localBaseWide) append(28, utf16(*localBaseWide) + std::string(2, '\0'));
    if (suffixWide) append(32, utf16(*suffixWide) + std::string(2, '\0'));
    putAt(info, 0, static_cast<uint32_t>(info.size()));
    return info;
  }

  std::string counted(const std::u16string& text) const {
    std::string out;
    putU16(out, static_cast<uint32_t>(text.size()));
    if (unicodeStrings) return out + utf16(text);
    for (const char16_t unit : text) out += static_cast<char>(unit);
    return out;
  }

  std::string bytes() const {
    uint32_t flags = (idList ? kHasIdList : 0) | (hasLinkInfo() ? kHasLinkInfo : 0) | (name ? kHasName : 0) |
                     (relative ? kHasRelativePath : 0) | (unicodeStrings ? kIsUnicode : 0) |
                     (forceNoLinkInfo ? kForceNoLinkInfo : 0);
    std::string out;
    putU32(out, 0x4C);
    out += std::string("\x01\x14\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
    putU32(out, flags);
    out.resize(0x4C, '\0');
    if (idList) {
      putU16(out, static_cast<uint32_t>(idList->size()));
      out += *idList;
    }
    if (hasLinkInfo()) out += linkInfo();
    if (name) out += counted(*name);
    if (relative) out += counted(*relative);
    return out;
  }
};

LinkBuilder fullLink() {
  LinkBuilder link;
  link.idList = std::string(20, '\x7f');
  link.localBase = "C:\\Data\\";
  link.suffix = "notes.txt";
  link.localBaseWide = u"C:\\D\u00e4ta\\";
  link.suffixWide = u"n\u00f6tes.txt";
  link.name = u"a note";
  link.relative = u"..\\notes.txt";
  return link;
}

TEST(ShellLinkParse, ReadsTheLocalPathAndTheRelativePath) {
  LinkBuilder ansi;
  ansi.unicodeStrings = false;
  ansi.localBase = "C:\\Caf\xe9\\";
  ansi.suffix = "x\x80.txt";
  ansi.relative = u"sub\\x.txt";
  LinkBuilder noLocalPath;
  noLocalPath.suffix = "orphan.txt";
  LinkBuilder ignoredInfo = fullLink();
  ignoredInfo.forceNoLinkInfo = true;
  const std::tuple<LinkBuilder, std::optional<std::string>, std::optional<std::string>> cases[] = {
      {fullLink(), "C:\\D\xc3\xa4ta\\n\xc3\xb6tes.txt", "..\\notes.txt"},
      {ansi, "C:\\Caf\xc3\xa9\\x\xe2\x82\xac.txt", "sub\\x.txt"},
      {noLocalPath, std::nullopt, std::nullopt},
      {ignoredInfo, std::nullopt, "..\\notes.txt"},
      {LinkBuilder(), std::nullopt, std::nullopt},
  };
  for (const auto& [link, localBase, relative] : cases) {
    const std::optional<ShellLinkPaths> paths = parseShellLink(link.bytes());
    ASSERT_TRUE(paths);
    EXPECT_EQ(paths->localBasePath, localBase);
    EXPECT_EQ(paths->relativePath, relative);
  }
}

TEST(ShellLinkParse, EveryTruncationAndBadHeaderIsRefused) {
  const std::string whole = fullLink().bytes();
  ASSERT_TRUE(parseShellLink(whole));
  for (size_t size = 0; size < whole.size(); ++size) EXPECT_FALSE(parseShellLink(whole.substr(0, size))) << size;
  std::string otherClass = whole;
  otherClass[19] = 0x47;
  std::string otherSize = whole;
  otherSize[0] = 0x4D;
  EXPECT_FALSE(parseShellLink(otherClass));
  EXPECT_FALSE(parseShellLink(otherSize));
  EXPECT_FALSE(parseShellLink("plain text, not a shortcut"));
}

TEST(ShellLinkParse, LinkInfoOffsetsOutsideTheBlockAreRefused) {
  LinkBuilder wide;
  wide.localBaseWide = u"C:\\x";
  LinkBuilder ansi;
  ansi.localBase = "C:\\x";
  const size_t info = 0x4C;
  const std::tuple<const LinkBuilder*, size_t, uint32_t> corruptions[] = {
      {&wide, info + 0, 0x10},         // block smaller than its header
      {&wide, info + 0, 0xFFFFFFF0},   // block larger than the file
      {&wide, info + 4, 0x200},        // header larger than the block
      {&wide, info + 28, 0x200},       // Unicode base path past the block
      {&wide, info + 24, 0xFFFFFFFF},  // suffix far past the block
      {&ansi, info + 16, 0x200},       // ANSI base path past the block
  };
  for (const auto& [link, at, value] : corruptions) {
    std::string bad = link->bytes();
    ASSERT_TRUE(parseShellLink(bad));
    putAt(bad, at, value);
    EXPECT_FALSE(parseShellLink(bad)) << at << " " << value;
  }
  const std::string good = wide.bytes();
  std::string unterminated = good;
  unterminated.resize(unterminated.size() - 2);
  putAt(unterminated, info, static_cast<uint32_t>(unterminated.size() - info));
  EXPECT_FALSE(parseShellLink(unterminated)) << "Unicode text without its zero unit";
}

using ShellLinkResolve = ScratchDirTest;

TEST_F(ShellLinkResolve, RelativeTargetThenLocalPathThenNothing) {
  fs::create_directories(dir / "links");
  writeText("notes.txt", "x");
  LinkBuilder present = fullLink();
  LinkBuilder missing = fullLink();
  missing.relative = u"..\\gone.txt";
  LinkBuilder none;
  none.relative = u"..\\gone.txt";
  const std::tuple<LinkBuilder, int32_t, std::string> cases[] = {
      {present, kShellLinkResolved, path("notes.txt")},
      {missing, kShellLinkResolved, "C:\\D\xc3\xa4ta\\n\xc3\xb6tes.txt"},
      {none, kShellLinkNoTarget, "untouched"},
  };
  for (const auto& [link, status, expected] : cases) {
    writeText("links/a.lnk", link.bytes());
    std::string target = "untouched";
    EXPECT_EQ(resolveShellLink(path("links/a.lnk"), target), status);
    EXPECT_EQ(target, expected);
  }
}

TEST_F(ShellLinkResolve, RelativeShortcutPathResolvesAsTheAbsoluteOne) {
  fs::create_directories(dir / "links");
  writeText("notes.txt", "x");
  writeText("links/a.lnk", fullLink().bytes());
  const fs::path saved = fs::current_path();
  fs::current_path(dir / "links");
  std::string target;
  EXPECT_EQ(resolveShellLink("./../links//a.lnk", target), kShellLinkResolved);
  fs::current_path(saved);
  EXPECT_EQ(target, path("notes.txt"));
}

TEST_F(ShellLinkResolve, SymbolicLinksGiveTheirRealPath) {
  fs::create_directories(dir / "real");
  writeText("real/file", "x");
  fs::create_symlink(dir / "real/file", dir / "link");
  fs::create_symlink(dir / "link", dir / "chain");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  std::string target;
  EXPECT_EQ(resolveShellLink(path("chain"), target), kShellLinkResolved);
  EXPECT_EQ(target, fs::canonical(dir / "real/file").string());
  EXPECT_EQ(resolveShellLink(path("dangling"), target), kShellLinkFileNotFound);
}

TEST_F(ShellLinkResolve, FailuresCarryTheirStatus) {
  writeText("text.txt", "not a shortcut");
  const std::pair<std::string, int32_t> cases[] = {
      {"", kShellLinkInvalidArgument},
      {std::string("a\0b", 3), kShellLinkInvalidArgument},
      {path("missing.lnk"), kShellLinkFileNotFound},
      {path("text.txt/inside.lnk"), kShellLinkPathNotFound},
      {path("text.txt"), kShellLinkFailed},
      {dir.string(), kShellLinkFailed},
  };
  for (const auto& [shortcut, status] : cases) {
    std::string target = "untouched";
    EXPECT_EQ(resolveShellLink(shortcut, target), status) << shortcut;
    EXPECT_EQ(target, "untouched");
  }
}

}  // namespace
