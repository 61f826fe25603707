// Prints the Unicode version utf8proc was built from, for the generator of the Unicode property tables.
#include <utf8proc.h>

#include <cstdio>

int main() { return std::puts(utf8proc_unicode_version()) < 0 ? 1 : 0; }
