// Whether this build runs under AddressSanitizer, whose shadow memory rules out an address-space limit.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define QZ_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZ_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef QZ_ADDRESS_SANITIZER
#define QZ_ADDRESS_SANITIZER 0
#endif
