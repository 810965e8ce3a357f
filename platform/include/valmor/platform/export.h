// VALMOR_EXPORT marks what libvalmor-serial and libvalmor-serial-qt export:
// the classes and functions of their public headers. The libraries are
// compiled with hidden visibility, so everything else stays inside them.
#pragma once

#if defined(__GNUC__)
#define VALMOR_EXPORT __attribute__((visibility("default")))
#else
#define VALMOR_EXPORT
#endif

// VALMOR_NO_EXPORT keeps a type nested in an exported class (the private
// state of a public class) inside the library.
#if defined(__GNUC__)
#define VALMOR_NO_EXPORT __attribute__((visibility("hidden")))
#else
#define VALMOR_NO_EXPORT
#endif
