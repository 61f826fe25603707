// Files that Lua opens (io.open, io.lines, io.input, io.output, loadfile, dofile, require's searchers) are
// opened close-on-exec, so processes the editor starts never inherit them. The Lua library is linked with
// --wrap for its fopen64/freopen64 references, which land here and add glibc's "e" mode flag.
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
FILE* __real_fopen64(const char* path, const char* mode);
FILE* __real_freopen64(const char* path, const char* mode, FILE* stream);

FILE* __wrap_fopen64(const char* path, const char* mode) {
  if (mode == nullptr || std::strchr(mode, 'e') != nullptr) return __real_fopen64(path, mode);
  const std::string closeOnExec = std::string(mode) + "e";
  return __real_fopen64(path, closeOnExec.c_str());
}

FILE* __wrap_freopen64(const char* path, const char* mode, FILE* stream) {
  if (mode == nullptr || std::strchr(mode, 'e') != nullptr) return __real_freopen64(path, mode, stream);
  const std::string closeOnExec = std::string(mode) + "e";
  return __real_freopen64(path, closeOnExec.c_str(), stream);
}
}
