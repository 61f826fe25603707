// Compares qz's canvas loads of every SVG document under some folders with what the libraries alone make of
// them, each in a process of its own with no limits: canvas.load_svg_image at each size asked for against
// librsvg, and canvas.load_image against SDL_image. Each load ends equal, differing (in so many pixels),
// refused by qz (with its message), refused by the library, or refused by both; the counts end as a table.
//
//   qz_corpus_compare [--sizes 200,1448] [--jobs N] [--clean] [--quiet] FOLDER...
//
// --clean makes any difference or refusal a failure (exit status 1), for a corpus of honest documents. Sizes
// that are not whole numbers, a folder that is not there and an entry that cannot be looked at end the run
// with a message and exit status 2 before anything is compared.
#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/sdl_handles.h"
#include "render/image_decode.h"
#include "render_process/svg_render.h"

extern char** environ;

namespace {

// How long the library alone may take over one document before it counts as refusing it.
constexpr auto kAloneTimeLimit = std::chrono::seconds(120);
// The size that stands for canvas.load_image, which draws a document at its own size.
constexpr int kOwnSize = 0;

struct Image {
  bool made = false;
  std::string why;  // when not made
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, straight alpha
};

Image notMade(std::string why) {
  Image image;
  image.why = std::move(why);
  return image;
}

// The library alone (run as `--alone SIZE PATH`): librsvg drawing into SIZE square, or SDL_image at the
// document's own size when SIZE is 0; the image goes to standard output as a record and its pixels.
int drawAlone(int size, const char* path) {
  Image image;
  if (size == kOwnSize) {
    const SurfaceHandle decoded(IMG_Load(path));
    const SurfaceHandle converted(decoded ? SDL_ConvertSurface(decoded.get(), SDL_PIXELFORMAT_ARGB8888) : nullptr);
    if (!converted) {
      image.why = SDL_GetError();
    } else {
      image.made = true;
      image.width = converted->w;
      image.height = converted->h;
      image.pixels.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
      for (int y = 0; y < image.height; ++y) {
        std::memcpy(image.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(image.width),
                    static_cast<const uint8_t*>(converted->pixels) + static_cast<size_t>(y) * converted->pitch,
                    static_cast<size_t>(image.width) * 4);
      }
    }
  } else {
    std::string bytes;
    if (FILE* file = std::fopen(path, "rb")) {
      char block[65536];
      for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, got);
      std::fclose(file);
    }
    SvgBitmap bitmap;
    if (!renderSvgToBgra(bytes, size, size, &bitmap)) {
      image.why = svgLastError();
    } else {
      image.made = true;
      image.width = bitmap.width;
      image.height = bitmap.height;
      image.pixels.resize(bitmap.pixels.size() / 4);
      std::memcpy(image.pixels.data(), bitmap.pixels.data(), bitmap.pixels.size());
    }
  }
  const int32_t record[4] = {image.made ? 1 : 0, image.width, image.height, static_cast<int32_t>(image.why.size())};
  std::fwrite(record, sizeof record, 1, stdout);
  std::fwrite(image.why.data(), 1, image.why.size(), stdout);
  std::fwrite(image.pixels.data(), 4, image.pixels.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// Runs this program as `--alone SIZE PATH` and reads what it made.
Image aloneInItsOwnProcess(const std::string& self, int size, const std::string& path) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return notMade(std::string("no pipe: ") + strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const std::string sizeText = std::to_string(size);
  char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>("--alone"), const_cast<char*>(sizeText.c_str()),
                  const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (failed != 0) {
    close(out[0]);
    return notMade(std::string("not started: ") + strerror(failed));
  }
  std::string bytes;
  const auto deadline = std::chrono::steady_clock::now() + kAloneTimeLimit;
  bool late = false;
  for (char block[65536];;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{out[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) {
      late = true;
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t got = read(out[0], block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(block, static_cast<size_t>(got));
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (late) return notMade("took longer than 120 s");
  if (WIFSIGNALED(status)) return notMade("stopped (signal " + std::to_string(WTERMSIG(status)) + ")");
  int32_t record[4] = {};
  if (bytes.size() < sizeof record) return notMade("stopped (exit status " + std::to_string(WEXITSTATUS(status)) + ")");
  std::memcpy(record, bytes.data(), sizeof record);
  Image image;
  image.made = record[0] != 0;
  image.width = record[1];
  image.height = record[2];
  image.why = bytes.substr(sizeof record, static_cast<size_t>(record[3]));
  const size_t at = sizeof record + static_cast<size_t>(record[3]);
  image.pixels.resize((bytes.size() - at) / 4);
  std::memcpy(image.pixels.data(), bytes.data() + at, image.pixels.size() * 4);
  return image;
}

Image loadedByQz(int size, const std::string& path) {
  const DecodedCanvas canvas =
      size == kOwnSize ? decodeImageFile(path.c_str()) : decodeSvgImageFile(path.c_str(), size, size);
  if (!canvas.bitmap) return notMade(canvas.error);
  Image image;
  image.made = true;
  image.width = canvas.bitmap->width;
  image.height = canvas.bitmap->height;
  image.pixels = canvas.bitmap->pixels;
  return image;
}

enum Verdict { Equal, Differs, RefusedByQz, RefusedByLibrary, RefusedByBoth, kVerdicts };
const char* const kVerdictNames[] = {"equal", "differs", "refused by qz", "refused by the library", "refused by both"};

struct Outcome {
  Verdict verdict = Equal;
  std::string detail;
};

Outcome compare(const Image& qz, const Image& alone) {
  if (!qz.made && !alone.made) return {RefusedByBoth, "qz: " + qz.why + "; library: " + alone.why};
  if (!qz.made) return {RefusedByQz, qz.why};
  if (!alone.made) return {RefusedByLibrary, alone.why};
  if (qz.width != alone.width || qz.height != alone.height) {
    return {Differs, "size " + std::to_string(qz.width) + "x" + std::to_string(qz.height) + ", the library's " +
                         std::to_string(alone.width) + "x" + std::to_string(alone.height)};
  }
  size_t differing = 0;
  for (size_t i = 0; i < qz.pixels.size() && i < alone.pixels.size(); ++i) differing += qz.pixels[i] != alone.pixels[i];
  if (differing == 0 && qz.pixels.size() == alone.pixels.size()) return {Equal, ""};
  return {Differs, std::to_string(differing) + " pixels"};
}

// Ends the run with exit status 2: what was asked cannot be compared.
[[noreturn]] void refuseRun(const std::string& why) {
  std::fprintf(stderr, "qz_corpus_compare: %s\n", why.c_str());
  std::exit(2);
}

// A positive whole number of at most `most`, or the run ends naming `what` it was for.
int positiveNumber(const std::string& text, int most, const char* what) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0 || value > most) {
    refuseRun(std::string(what) + " takes whole numbers from 1 to " + std::to_string(most) + ", not \"" + text + "\"");
  }
  return value;
}

std::vector<int> sizesFrom(const std::string& list) {
  std::vector<int> sizes;
  for (size_t at = 0; at <= list.size();) {
    const size_t comma = std::min(list.find(',', at), list.size());
    const std::string size = list.substr(at, comma - at);
    sizes.push_back(positiveNumber(size.empty() ? list : size, 32767, "--sizes"));
    at = comma + 1;
  }
  return sizes;
}

// The SVG documents under `folder`; the run ends at a folder or an entry that cannot be read, rather than
// compare part of a corpus.
void addDocuments(const std::string& folder, std::vector<std::string>& documents) {
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    refuseRun("no folder " + folder + (error ? ": " + error.message() : ""));
  }
  std::filesystem::recursive_directory_iterator it(folder, error);
  for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const bool regular = it->is_regular_file(error);
    if (error) refuseRun("cannot look at " + it->path().string() + ": " + error.message());
    if (regular && it->path().extension() == ".svg") documents.push_back(it->path().string());
  }
  if (error) refuseRun("cannot read " + folder + ": " + error.message());
}

std::string sizeName(int size) { return size == kOwnSize ? "load_image" : "load_svg_image " + std::to_string(size); }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--alone") == 0) return drawAlone(std::atoi(argv[2]), argv[3]);
  std::vector<int> sizes = {200};
  std::vector<std::string> folders;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency() / 2);
  bool clean = false, quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--sizes" && i + 1 < argc) {
      sizes = sizesFrom(argv[++i]);
    } else if (argument == "--jobs" && i + 1 < argc) {
      jobs = static_cast<unsigned>(positiveNumber(argv[++i], 256, "--jobs"));
    } else if (argument == "--clean") {
      clean = true;
    } else if (argument == "--quiet") {
      quiet = true;
    } else {
      folders.push_back(argument);
    }
  }
  sizes.insert(sizes.begin(), kOwnSize);
  std::vector<std::string> documents;
  for (const std::string& folder : folders) addDocuments(folder, documents);
  std::sort(documents.begin(), documents.end());
  if (documents.empty()) {
    std::fprintf(stderr, "no SVG documents under the folders given\n");
    return 2;
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();

  struct Task {
    size_t document;
    int size;
  };
  std::vector<Task> tasks;
  for (size_t d = 0; d < documents.size(); ++d) {
    for (const int size : sizes) tasks.push_back({d, size});
  }
  std::vector<Outcome> outcomes(tasks.size());
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (unsigned w = 0; w < jobs; ++w) {
    workers.emplace_back([&] {
      for (size_t t; (t = next++) < tasks.size();) {
        const std::string& path = documents[tasks[t].document];
        outcomes[t] = compare(loadedByQz(tasks[t].size, path), aloneInItsOwnProcess(self, tasks[t].size, path));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  std::map<int, std::array<size_t, kVerdicts>> counts;
  bool unclean = false;
  for (size_t t = 0; t < tasks.size(); ++t) {
    ++counts[tasks[t].size][outcomes[t].verdict];
    if (outcomes[t].verdict != Equal) {
      unclean = true;
      if (!quiet) {
        std::printf("%s, %s: %s: %s\n", documents[tasks[t].document].c_str(), sizeName(tasks[t].size).c_str(),
                    kVerdictNames[outcomes[t].verdict], outcomes[t].detail.c_str());
      }
    }
  }
  std::printf("\n| load | documents | equal | differs | refused by qz | refused by the library | refused by both |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const auto& [size, count] : counts) {
    std::printf("| %s | %zu | %zu | %zu | %zu | %zu | %zu |\n", sizeName(size).c_str(), documents.size(), count[Equal],
                count[Differs], count[RefusedByQz], count[RefusedByLibrary], count[RefusedByBoth]);
  }
  return clean && unclean ? 1 : 0;
}
