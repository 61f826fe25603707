// Reading an X window property a slice at a time. The X library takes a whole property in one reply, and
// its connection does not survive a reply it finds no memory for (the process ends with it), so a property
// is read in slices of 1 MiB, and its size is checked against the caller's limit as soon as the first slice
// tells it, before any more is asked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr long kPropertySliceUnits = 1 << 18;  // 32-bit units per slice: 1 MiB

// What one request for a slice gave.
struct PropertySlice {
  unsigned long type = 0;   // 0 (None) when the property does not exist
  int format = 0;           // 8, 16 or 32
  uint64_t length = 0;      // bytes in this slice, as the server counts them
  uint64_t bytesAfter = 0;  // bytes of the property after this slice
  std::string bytes;        // the slice's bytes when the format is 8
  uint32_t firstItem = 0;   // the slice's first item when the format is 32
};

// Asks for the slice of kPropertySliceUnits at offsetUnits (counted in 32-bit units), deleting the property
// when the slice reaches its end; false when the request fails.
using PropertySliceRequest = std::function<bool(long offsetUnits, PropertySlice& slice)>;

struct PropertyValue {
  unsigned long type = 0;
  int format = 0;
  uint64_t length = 0;     // the whole property's bytes
  std::string bytes;       // all of them when the format is 8
  uint32_t firstItem = 0;  // the first item when the format is 32 (the size an INCR property announces)
  bool deleted = false;    // the last slice read reached the end, so the property is gone
};

enum class PropertyRead { Whole, Unreadable, TooLarge };

// Reads a property through `request`: with format 8 every slice into value.bytes, and TooLarge for more than
// `limit` bytes; with any other format only the first slice, whose bytes nobody uses. Unreadable when a
// request fails, when there is no such property, or when it changes between slices.
PropertyRead readPropertyInSlices(const PropertySliceRequest& request, uint64_t limit, PropertyValue& value);
