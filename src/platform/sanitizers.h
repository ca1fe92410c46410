#pragma once

// Whether this translation unit is built with AddressSanitizer or
// ThreadSanitizer (GCC defines macros, Clang answers __has_feature). Code that
// would fight the sanitizers' own signal handling or shadow memory, such as
// writing a core of the process, stands aside in such builds.

namespace vistel {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

}  // namespace vistel
