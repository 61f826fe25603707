// The stream is a C library stream opened with "e" (O_CLOEXEC) behind SDL's stream interface.
#include "platform/file_io_stream.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

FILE* fileOf(void* userdata) { return static_cast<FILE*>(userdata); }

Sint64 sizeOf(void* userdata) {
  struct stat info;
  if (fstat(fileno(fileOf(userdata)), &info) != 0) {
    SDL_SetError("Couldn't get the file size: %s", std::strerror(errno));
    return -1;
  }
  return static_cast<Sint64>(info.st_size);
}

Sint64 seekTo(void* userdata, Sint64 offset, SDL_IOWhence whence) {
  const int origin = whence == SDL_IO_SEEK_SET ? SEEK_SET : whence == SDL_IO_SEEK_CUR ? SEEK_CUR : SEEK_END;
  FILE* file = fileOf(userdata);
  if (fseeko(file, static_cast<off_t>(offset), origin) != 0) {
    SDL_SetError("Couldn't seek in the file: %s", std::strerror(errno));
    return -1;
  }
  return static_cast<Sint64>(ftello(file));
}

size_t readFrom(void* userdata, void* buffer, size_t size, SDL_IOStatus* status) {
  FILE* file = fileOf(userdata);
  const size_t read = std::fread(buffer, 1, size, file);
  if (read < size) {
    if (std::ferror(file)) {
      SDL_SetError("Couldn't read the file: %s", std::strerror(errno));
      *status = SDL_IO_STATUS_ERROR;
    } else {
      *status = SDL_IO_STATUS_EOF;
    }
  }
  return read;
}

size_t writeTo(void*, const void*, size_t, SDL_IOStatus* status) {
  *status = SDL_IO_STATUS_READONLY;
  SDL_SetError("The file is open for reading only");
  return 0;
}

bool closeFile(void* userdata) { return std::fclose(fileOf(userdata)) == 0; }

}  // namespace

SDL_IOStream* openFileForReading(const char* path) {
  FILE* file = std::fopen(path, "rbe");
  if (file == nullptr) {
    SDL_SetError("Couldn't open %s: %s", path, std::strerror(errno));
    return nullptr;
  }
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode))) {
    std::fclose(file);
    SDL_SetError("%s is not a regular file or pipe", path);
    return nullptr;
  }
  SDL_IOStreamInterface calls;
  SDL_INIT_INTERFACE(&calls);
  calls.size = sizeOf;
  calls.seek = seekTo;
  calls.read = readFrom;
  calls.write = writeTo;
  calls.close = closeFile;
  SDL_IOStream* stream = SDL_OpenIO(&calls, file);
  if (stream == nullptr) std::fclose(file);
  return stream;
}
