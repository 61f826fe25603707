#include "host/file_location.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

FileLocation textLocation(int64_t line, std::optional<int64_t> column = std::nullopt,
                          std::optional<int64_t> endLine = std::nullopt,
                          std::optional<int64_t> endColumn = std::nullopt) {
  FileLocation location;
  location.line = line;
  location.column = column;
  location.endLine = endLine;
  location.endColumn = endColumn;
  return location;
}

FileLocation offsetLocation(int64_t offset, std::optional<int64_t> endOffset = std::nullopt) {
  FileLocation location;
  location.kind = FileLocation::Kind::Offset;
  location.offset = offset;
  location.endOffset = endOffset;
  return location;
}

std::vector<FileLocation> parsed(std::string_view text) {
  std::vector<FileLocation> locations;
  std::string message;
  EXPECT_TRUE(parseLocationList(text, locations, message)) << text << ": " << message;
  return locations;
}

std::string failure(std::string_view text) {
  std::vector<FileLocation> locations = {textLocation(1)};
  std::string message;
  EXPECT_FALSE(parseLocationList(text, locations, message)) << text;
  EXPECT_TRUE(locations.empty());
  return message;
}

TEST(ParseLocationList, ReadsTextAndOffsetLocations) {
  EXPECT_EQ(parsed("12"), std::vector{textLocation(12)});
  EXPECT_EQ(parsed("3:4-5:6"), std::vector{textLocation(3, 4, 5, 6)});
  EXPECT_EQ(parsed("@10-20,7"), (std::vector{offsetLocation(10, 20), textLocation(7)}));
  EXPECT_EQ(parsed("5-5"), std::vector{textLocation(5, std::nullopt, 5)});
  EXPECT_EQ(parsed("0:0"), std::vector{textLocation(0, 0)});
  EXPECT_EQ(parsed("2:9-3"), std::vector{textLocation(2, 9, 3)});
  EXPECT_EQ(parsed("@4-4"), std::vector{offsetLocation(4, 4)});
  EXPECT_EQ(parsed("9223372036854775807"), std::vector{textLocation(INT64_MAX)});
}

TEST(ParseLocationList, ReportsEachFaultWithItsMessage) {
  EXPECT_EQ(failure("5:9-5:2"), "text range is reversed");
  EXPECT_EQ(failure("5-4"), "text range is reversed");
  EXPECT_EQ(failure("@9-3"), "offset range is reversed");
  EXPECT_EQ(failure("1,,2"), "expected line");
  EXPECT_EQ(failure("1,"), "expected location after ','");
  EXPECT_EQ(failure("1:2:3"), "expected ',' between locations");
  EXPECT_EQ(failure(""), "location list must not be empty");
  EXPECT_EQ(failure("9223372036854775808"), "line exceeds signed 64-bit maximum");
  EXPECT_EQ(failure("1:99999999999999999999"), "column exceeds signed 64-bit maximum");
  EXPECT_EQ(failure("@99999999999999999999"), "offset exceeds signed 64-bit maximum");
  EXPECT_EQ(failure("1:"), "expected column");
  EXPECT_EQ(failure("@"), "expected offset");
  EXPECT_EQ(failure("@1-"), "expected offset");
  EXPECT_EQ(failure("1-"), "expected line");
  EXPECT_EQ(failure("-1"), "expected line");
  EXPECT_EQ(failure("1 "), "expected ',' between locations");
}

FileReference reference(std::string_view text, bool parseLocations, PathStyle style) {
  FileReference result;
  std::string message;
  EXPECT_TRUE(parseFileReference(text, parseLocations, result, message, style)) << text << ": " << message;
  return result;
}

TEST(ParseFileReference, WindowsUriDrivePathWithLocation) {
  const FileReference r = reference("file:///X:/dir/a.txt:10:2", true, PathStyle::Windows);
  EXPECT_EQ(r.filename, "X:/dir/a.txt");
  EXPECT_EQ(r.virtualPath, std::nullopt);
  EXPECT_EQ(r.locations, std::vector{textLocation(10, 2)});
}

TEST(ParseFileReference, ArchivePathWithLocationInBothStyles) {
  for (const PathStyle style : {PathStyle::Windows, PathStyle::Posix}) {
    const FileReference r = reference("X:/a.zip:/doc/b.txt:3", true, style);
    EXPECT_EQ(r.filename, "X:/a.zip");
    EXPECT_EQ(r.virtualPath, "doc/b.txt");
    EXPECT_EQ(r.locations, std::vector{textLocation(3)});
  }
}

TEST(ParseFileReference, PosixPathsAndUris) {
  FileReference r = reference("/home/u/a.txt:7", true, PathStyle::Posix);
  EXPECT_EQ(r.filename, "/home/u/a.txt");
  EXPECT_EQ(r.locations, std::vector{textLocation(7)});
  r = reference("file:///home/u/a.txt:7:2,@5", true, PathStyle::Posix);
  EXPECT_EQ(r.filename, "/home/u/a.txt");
  EXPECT_EQ(r.locations, (std::vector{textLocation(7, 2), offsetLocation(5)}));
  r = reference("/h/a.zip:/in/x.txt", true, PathStyle::Posix);
  EXPECT_EQ(r.filename, "/h/a.zip");
  EXPECT_EQ(r.virtualPath, "in/x.txt");
  EXPECT_TRUE(r.locations.empty());
}

TEST(ParseFileReference, LocationsOnlyWhenAskedAndPresent) {
  FileReference r = reference("X:\\dir\\file", true, PathStyle::Windows);
  EXPECT_EQ(r.filename, "X:\\dir\\file");
  EXPECT_TRUE(r.locations.empty());
  r = reference("a.txt:12", false, PathStyle::Posix);
  EXPECT_EQ(r.filename, "a.txt:12");
  EXPECT_TRUE(r.locations.empty());
  r = reference("12:3", true, PathStyle::Posix);
  EXPECT_EQ(r.filename, "12");
  EXPECT_EQ(r.locations, std::vector{textLocation(3)});
  r = reference("", true, PathStyle::Posix);
  EXPECT_EQ(r.filename, "");
}

TEST(ParseFileReference, AFaultyLocationListFailsTheReference) {
  FileReference r;
  std::string message;
  EXPECT_FALSE(parseFileReference("name:", true, r, message, PathStyle::Posix));
  EXPECT_EQ(message, "location list must not be empty");
  EXPECT_FALSE(parseFileReference("a.txt:9-3", true, r, message, PathStyle::Posix));
  EXPECT_EQ(message, "text range is reversed");
  EXPECT_TRUE(r.locations.empty());
}

}  // namespace
