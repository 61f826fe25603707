// Files and pipes that Lua opens (io.open, io.lines, io.input, io.output, loadfile, dofile, require's
// searchers, io.popen, io.tmpfile, os.tmpname) are opened close-on-exec, so processes the editor starts never
// inherit them. The Lua library is linked with --wrap for its references to the C library's calls, which land
// here: fopen64, freopen64 and popen add glibc's "e" mode flag (for popen only qz's end of the pipe is
// marked; the program's end becomes its standard input or output as before), tmpfile64 and mkstemp64 make
// their file with O_CLOEXEC.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The mode with "e" added, or the mode itself when it has one.
std::string closeOnExec(const char* mode) {
  std::string withFlag(mode);
  if (withFlag.find('e') == std::string::npos) withFlag += 'e';
  return withFlag;
}

}  // namespace

extern "C" {
FILE* __real_fopen64(const char* path, const char* mode);
FILE* __real_freopen64(const char* path, const char* mode, FILE* stream);
FILE* __real_popen(const char* command, const char* mode);

FILE* __wrap_fopen64(const char* path, const char* mode) {
  if (mode == nullptr) return __real_fopen64(path, mode);
  return __real_fopen64(path, closeOnExec(mode).c_str());
}

FILE* __wrap_freopen64(const char* path, const char* mode, FILE* stream) {
  if (mode == nullptr) return __real_freopen64(path, mode, stream);
  return __real_freopen64(path, closeOnExec(mode).c_str(), stream);
}

FILE* __wrap_popen(const char* command, const char* mode) {
  if (mode == nullptr) return __real_popen(command, mode);
  return __real_popen(command, closeOnExec(mode).c_str());
}

// An unnamed file in the C library's temporary directory, as tmpfile makes it; where that file system has no
// unnamed files, a named one removed at once.
FILE* __wrap_tmpfile64() {
  int fd = open(P_tmpdir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    char path[] = P_tmpdir "/tmpfXXXXXX";
    fd = mkostemp64(path, O_CLOEXEC);
    if (fd < 0) return nullptr;
    unlink(path);
  }
  FILE* file = fdopen(fd, "w+");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

int __wrap_mkstemp64(char* pattern) { return mkostemp64(pattern, O_CLOEXEC); }
}
