// Files read through SDL streams, opened by qz itself. SDL's own file streams are inheritable: a program that
// another thread starts while one is open would keep the file open for as long as it runs.
#pragma once

#include <SDL3/SDL_iostream.h>

// A read-only stream over the file at path, close-on-exec and buffered as SDL's own; null with SDL's error
// set (in SDL's words) when it cannot be opened or is neither a regular file nor a pipe.
SDL_IOStream* openFileForReading(const char* path);
