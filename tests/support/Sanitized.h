// VT_TEST_SANITIZED: the build runs under AddressSanitizer, which reserves
// address space of its own and handles faults first.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define VT_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VT_TEST_SANITIZED 1
#endif
#endif
