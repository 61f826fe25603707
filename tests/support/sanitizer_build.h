// QZ_TEST_UNDER_ASAN is defined in the AddressSanitizer build, whose shadow memory takes terabytes of address
// space and whose quarantine keeps freed memory: tests of memory limits and of memory given back need it.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZ_TEST_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QZ_TEST_UNDER_ASAN 1
#endif
