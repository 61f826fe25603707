// Properties read slice by slice from a fake server: whole when they fit the limit, refused after the first
// slice when they do not, and unreadable when the server fails or the property changes between slices.
#include "platform/x11_property_slices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint64_t kSlice = uint64_t{kPropertySliceUnits} * 4;
constexpr unsigned long kText = 31;  // an atom that stands for the type of the text

// A property held by a fake server: `content` when it is real, else only its `length`; requests are counted.
struct FakeProperty {
  unsigned long type = kText;
  int format = 8;
  uint64_t length = 0;
  std::string content;
  std::vector<long> offsets;  // of every request, in order
  size_t failAt = SIZE_MAX;   // the request that fails
  bool deleted = false;

  static FakeProperty holding(std::string text) {
    FakeProperty property;
    property.length = text.size();
    property.content = std::move(text);
    return property;
  }

  PropertySliceRequest request() {
    return [this](long offsetUnits, PropertySlice& slice) {
      offsets.push_back(offsetUnits);
      if (offsets.size() - 1 == failAt) return false;
      const uint64_t start = std::min<uint64_t>(uint64_t(offsetUnits) * 4, length);
      slice.type = type;
      slice.format = format;
      slice.length = std::min(kSlice, length - start);
      slice.bytesAfter = length - start - slice.length;
      slice.bytes = content.empty() ? std::string(slice.length, 'x') : content.substr(start, slice.length);
      slice.firstItem = format == 32 ? 7 : 0;
      if (slice.bytesAfter == 0) deleted = true;
      return true;
    };
  }
};

std::string textOf(uint64_t size) {
  std::string text(size, '\0');
  for (uint64_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

TEST(PropertySlices, PropertiesUpToTheLimitAreReadWholeSliceBySlice) {
  for (const uint64_t size : {uint64_t{0}, uint64_t{1}, kSlice, kSlice + 1, 2 * kSlice + kSlice / 2}) {
    FakeProperty property = FakeProperty::holding(textOf(size));
    PropertyValue value;
    ASSERT_EQ(readPropertyInSlices(property.request(), size, value), PropertyRead::Whole) << size;
    EXPECT_EQ(value.bytes, property.content) << size;
    EXPECT_EQ(value.type, kText);
    EXPECT_EQ(value.length, size);
    EXPECT_TRUE(value.deleted && property.deleted);
    EXPECT_EQ(property.offsets.size(), size == 0 ? 1 : (size + kSlice - 1) / kSlice) << size;
    for (size_t i = 0; i < property.offsets.size(); ++i) EXPECT_EQ(property.offsets[i], long(i) * kPropertySliceUnits);
  }
}

TEST(PropertySlices, APropertyOverTheLimitIsRefusedAfterItsFirstSlice) {
  for (const uint64_t size : {kSlice / 2 + 1, uint64_t{3} << 30}) {
    FakeProperty property;
    property.length = size;
    PropertyValue value;
    EXPECT_EQ(readPropertyInSlices(property.request(), size - 1, value), PropertyRead::TooLarge) << size;
    EXPECT_EQ(property.offsets.size(), 1u);
    EXPECT_LT(value.bytes.capacity(), size) << "nothing of its size is held";
  }
}

TEST(PropertySlices, AFailedRequestAMissingPropertyOrAChangeMakeItUnreadable) {
  FakeProperty failing = FakeProperty::holding(textOf(3 * kSlice));
  failing.failAt = 1;
  FakeProperty missing = FakeProperty::holding("text");
  missing.type = 0;
  PropertyValue value;
  EXPECT_EQ(readPropertyInSlices(failing.request(), 1 << 30, value), PropertyRead::Unreadable);
  EXPECT_FALSE(failing.deleted);
  EXPECT_EQ(readPropertyInSlices(missing.request(), 1 << 30, value), PropertyRead::Unreadable);

  struct Change {
    const char* what;
    void (*apply)(FakeProperty&);
  };
  const Change changes[] = {
      {"type", [](FakeProperty& p) { p.type = kText + 1; }},
      {"format", [](FakeProperty& p) { p.format = 32; }},
      {"longer", [](FakeProperty& p) { p.length += 1, p.content += "!"; }},
      {"shorter", [](FakeProperty& p) { p.length -= 1, p.content.pop_back(); }},
  };
  for (const Change& change : changes) {
    FakeProperty property = FakeProperty::holding(textOf(2 * kSlice));
    const PropertySliceRequest plain = property.request();
    const PropertySliceRequest changing = [&](long offset, PropertySlice& slice) {
      if (offset > 0) change.apply(property);
      return plain(offset, slice);
    };
    EXPECT_EQ(readPropertyInSlices(changing, 1 << 30, value), PropertyRead::Unreadable) << change.what;
  }
}

TEST(PropertySlices, OtherFormatsGiveTheirFirstSliceOnly) {
  FakeProperty property;
  property.format = 32;
  property.length = 3 * kSlice;
  PropertyValue value;
  EXPECT_EQ(readPropertyInSlices(property.request(), 1, value), PropertyRead::Whole);
  EXPECT_EQ(value.format, 32);
  EXPECT_EQ(value.firstItem, 7u);
  EXPECT_EQ(value.length, 3 * kSlice);
  EXPECT_TRUE(value.bytes.empty());
  EXPECT_FALSE(value.deleted);
  EXPECT_EQ(property.offsets.size(), 1u);
}

}  // namespace
