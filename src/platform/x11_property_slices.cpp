// A slice other than the last is always whole (1 MiB), which is what lets the next one be asked at the next
// offset; a property that changes meanwhile (another type, format or length) is not read on.
#include "platform/x11_property_slices.h"

namespace {

constexpr uint64_t kSliceBytes = uint64_t{kPropertySliceUnits} * 4;

}  // namespace

PropertyRead readPropertyInSlices(const PropertySliceRequest& request, uint64_t limit, PropertyValue& value) {
  PropertySlice slice;
  if (!request(0, slice) || slice.type == 0) return PropertyRead::Unreadable;
  value.type = slice.type;
  value.format = slice.format;
  value.length = slice.length + slice.bytesAfter;
  value.firstItem = slice.firstItem;
  value.deleted = slice.bytesAfter == 0;
  value.bytes.clear();
  if (slice.format != 8) return PropertyRead::Whole;
  if (value.length > limit) return PropertyRead::TooLarge;
  value.bytes.reserve(value.length);
  value.bytes += slice.bytes;
  for (long offset = 0; slice.bytesAfter > 0;) {
    if (slice.length != kSliceBytes) return PropertyRead::Unreadable;
    offset += kPropertySliceUnits;
    if (!request(offset, slice) || slice.type != value.type || slice.format != 8 ||
        value.bytes.size() + slice.length + slice.bytesAfter != value.length) {
      return PropertyRead::Unreadable;
    }
    value.bytes += slice.bytes;
  }
  value.deleted = true;
  return PropertyRead::Whole;
}
