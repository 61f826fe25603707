// Compares qz's canvas loads of every image file under some folders (or named) with what the libraries alone
// make of them, each in a process of its own with no limits: canvas.load_image and canvas.load_image_data
// against SDL_image, and, for SVG documents, canvas.load_svg_image at each size asked for against librsvg.
// Each load ends equal, differing (in so many pixels), refused by qz (with its message), refused by the
// library, or refused by both; what is not equal names the library alone's time and peak memory for it, and
// the counts end as a table.
//
//   qz_corpus_compare [--sizes 200,1448] [--jobs N] [--library-cache DIR] [--clean] [--quiet] FOLDER|FILE...
//
// --library-cache keeps what the library alone made of each load (its size, message, pixels' hash, time and
// memory) in DIR, so that runs of qz under other conditions skip drawing it again; a load qz draws
// differently from the cached hash is drawn alone again to count the pixels. --clean makes any difference or
// refusal a failure (exit status 1), for a corpus of honest documents. Sizes that are not whole numbers, a
// path that is not there and an entry that cannot be looked at end the run with a message and exit status 2
// before anything is compared.
#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
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
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
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
// The sizes that stand for canvas.load_image and canvas.load_image_data, which draw a document at its own size.
constexpr int kOwnSize = 0;
constexpr int kDataSize = -1;

struct Image {
  bool made = false;
  std::string why;  // when not made
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // 0xAARRGGBB, straight alpha
  uint64_t hash = 0;             // of the pixels, when only that is known (from the cache)
  double seconds = 0;            // the library alone's processor time, and its peak resident memory
  long peakKib = 0;
};

// FNV-1a over some bytes: names a cache entry, and stands for an image's pixels in it.
uint64_t fnv(const void* data, size_t size, uint64_t hash = 14695981039346656037ull) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211ull;
  return hash;
}

uint64_t pixelHash(const Image& image) { return fnv(image.pixels.data(), image.pixels.size() * 4); }

// The peak resident memory of a process so far, in KiB (0 when it cannot be read): its own, from after it
// started, which the rusage of a process started by posix_spawn is not (it counts its parent's too).
long peakResidentKib(const std::string& process) {
  std::ifstream status("/proc/" + process + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

std::string fileBytes(const char* path) {
  std::string bytes;
  if (FILE* file = std::fopen(path, "rb")) {
    char block[65536];
    for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, got);
    std::fclose(file);
  }
  return bytes;
}

Image notMade(std::string why) {
  Image image;
  image.why = std::move(why);
  return image;
}

// The library alone (run as `--alone SIZE PATH`): librsvg drawing into SIZE square, or SDL_image at the
// document's own size, from its file when SIZE is 0 and from its bytes when -1; the image goes to standard
// output as a record and its pixels.
int drawAlone(int size, const char* path) {
  Image image;
  if (size == kOwnSize || size == kDataSize) {
    const std::string bytes = size == kDataSize ? fileBytes(path) : std::string();
    const SurfaceHandle decoded(size == kOwnSize ? IMG_Load(path)
                                                 : IMG_Load_IO(SDL_IOFromConstMem(bytes.data(), bytes.size()), true));
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
    const std::string bytes = fileBytes(path);
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
  const int32_t record[5] = {image.made ? 1 : 0, image.width, image.height, static_cast<int32_t>(image.why.size()),
                             static_cast<int32_t>(peakResidentKib("self"))};
  std::fwrite(record, sizeof record, 1, stdout);
  std::fwrite(image.why.data(), 1, image.why.size(), stdout);
  std::fwrite(image.pixels.data(), 4, image.pixels.size(), stdout);
  const bool written = std::fflush(stdout) == 0;
  SDL_Quit();  // what SDL keeps for the process (error text, properties of the streams it opened), which the
               // sanitizer build reports as leaked at exit now and then
  return written ? 0 : 1;
}

// What a `--alone` process that ended with `status` made, from its standard output.
Image aloneRecord(bool late, int status, const std::string& bytes) {
  if (late) return notMade("took longer than 120 s");
  if (WIFSIGNALED(status)) return notMade("stopped (signal " + std::to_string(WTERMSIG(status)) + ")");
  int32_t record[5] = {};
  if (bytes.size() < sizeof record) return notMade("stopped (exit status " + std::to_string(WEXITSTATUS(status)) + ")");
  std::memcpy(record, bytes.data(), sizeof record);
  Image image;
  image.made = record[0] != 0;
  image.width = record[1];
  image.height = record[2];
  image.why = bytes.substr(sizeof record, static_cast<size_t>(record[3]));
  image.peakKib = record[4];
  const size_t at = sizeof record + static_cast<size_t>(record[3]);
  image.pixels.resize((bytes.size() - at) / 4);
  std::memcpy(image.pixels.data(), bytes.data() + at, image.pixels.size() * 4);
  return image;
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
  long latePeakKib = 0;
  for (char block[65536];;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{out[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) {
      late = true;
      latePeakKib = peakResidentKib(std::to_string(pid));
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
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  Image image = aloneRecord(late, status, bytes);
  image.seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (late) image.peakKib = latePeakKib;
  image.hash = pixelHash(image);
  return image;
}

// The cache entry of one load: a line of the record, the message, the pixels' hash, the time and the memory,
// named by a hash of the load's size, the document's path, its length and its time of change.
std::filesystem::path cacheEntry(const std::string& cache, int size, const std::string& path) {
  std::error_code error;
  const auto length = std::filesystem::file_size(path, error);
  const auto changed = std::filesystem::last_write_time(path, error).time_since_epoch().count();
  const std::string key = std::to_string(size) + '\n' + path + '\n' + std::to_string(length) + '\n' + std::to_string(changed);
  char name[17];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(fnv(key.data(), key.size())));
  return std::filesystem::path(cache) / name;
}

std::optional<Image> cachedAlone(const std::string& cache, int size, const std::string& path) {
  if (cache.empty()) return std::nullopt;
  std::ifstream in(cacheEntry(cache, size, path));
  Image image;
  size_t whyLength = 0;
  if (!(in >> image.made >> image.width >> image.height >> image.hash >> image.seconds >> image.peakKib >> whyLength)) {
    return std::nullopt;
  }
  in.get();
  image.why.resize(whyLength);
  if (!in.read(image.why.data(), static_cast<std::streamsize>(whyLength))) return std::nullopt;
  return image;
}

void keepAlone(const std::string& cache, int size, const std::string& path, const Image& image) {
  if (cache.empty()) return;
  const std::filesystem::path entry = cacheEntry(cache, size, path);
  const std::filesystem::path written = entry.string() + ".new";
  {
    std::ofstream out(written);
    out << image.made << ' ' << image.width << ' ' << image.height << ' ' << image.hash << ' ' << image.seconds << ' '
        << image.peakKib << ' ' << image.why.size() << '\n'
        << image.why;
  }
  std::error_code error;
  std::filesystem::rename(written, entry, error);  // whole or not at all, beside other runs
}

DecodedCanvas decodedFromBytes(const std::string& path) {
  const std::string bytes = fileBytes(path.c_str());
  const IoStreamHandle stream(SDL_IOFromConstMem(bytes.data(), bytes.size()));
  return decodeImage(stream.get(), nullptr, ImageDecoder::Detect);
}

Image loadedByQz(int size, const std::string& path) {
  const DecodedCanvas canvas = size == kOwnSize    ? decodeImageFile(path.c_str())
                               : size == kDataSize ? decodedFromBytes(path)
                                                   : decodeSvgImageFile(path.c_str(), size, size);
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

// The library alone's time and peak memory for a load, to tell what a refusal or a difference comes from.
std::string aloneCost(const Image& alone) {
  char cost[96];
  std::snprintf(cost, sizeof cost, " (library alone: %.2f s, %s MB peak)", alone.seconds,
                alone.peakKib > 0 ? std::to_string(alone.peakKib / 1024).c_str() : "unknown");
  return cost;
}

// `alone` may hold only its pixels' hash (from the cache); then a difference is counted on a fresh drawing.
Outcome compare(const Image& qz, const Image& alone, const std::function<Image()>& drawAloneAgain) {
  if (!qz.made && !alone.made) return {RefusedByBoth, "qz: " + qz.why + "; library: " + alone.why + aloneCost(alone)};
  if (!qz.made) return {RefusedByQz, qz.why + aloneCost(alone)};
  if (!alone.made) return {RefusedByLibrary, alone.why + aloneCost(alone)};
  if (qz.width != alone.width || qz.height != alone.height) {
    return {Differs, "size " + std::to_string(qz.width) + "x" + std::to_string(qz.height) + ", the library's " +
                         std::to_string(alone.width) + "x" + std::to_string(alone.height) + aloneCost(alone)};
  }
  if (pixelHash(qz) == alone.hash) return {Equal, ""};
  const Image again = alone.pixels.empty() && !qz.pixels.empty() ? drawAloneAgain() : alone;
  size_t differing = 0;
  for (size_t i = 0; i < qz.pixels.size() && i < again.pixels.size(); ++i) differing += qz.pixels[i] != again.pixels[i];
  if (differing == 0 && qz.pixels.size() == again.pixels.size()) return {Equal, ""};
  return {Differs, std::to_string(differing) + " pixels" + aloneCost(alone)};
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

// The image types SDL_image reads, by the extension that names them.
bool isImageFile(const std::filesystem::path& path) {
  static const char* const kExtensions[] = {".avif", ".bmp", ".cur", ".gif", ".ico", ".jpeg", ".jpg", ".jxl",
                                            ".lbm",  ".pbm", ".pcx", ".pgm", ".png", ".pnm",  ".ppm", ".qoi",
                                            ".svg",  ".tga", ".tif", ".tiff", ".webp", ".xcf", ".xpm", ".xv"};
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
  return std::find(std::begin(kExtensions), std::end(kExtensions), extension) != std::end(kExtensions);
}

bool isSvg(const std::string& path) { return std::filesystem::path(path).extension() == ".svg"; }

// The image files under `folder`, or `folder` itself when it is a file; the run ends at a path or an entry
// that cannot be read, rather than compare part of a corpus.
void addDocuments(const std::string& folder, std::vector<std::string>& documents) {
  std::error_code error;
  if (std::filesystem::is_regular_file(folder, error)) {
    documents.push_back(folder);
    return;
  }
  if (!std::filesystem::is_directory(folder, error)) {
    refuseRun("no folder " + folder + (error ? ": " + error.message() : ""));
  }
  std::filesystem::recursive_directory_iterator it(folder, error);
  for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const bool regular = it->is_regular_file(error);
    if (error) refuseRun("cannot look at " + it->path().string() + ": " + error.message());
    if (regular && isImageFile(it->path())) documents.push_back(it->path().string());
  }
  if (error) refuseRun("cannot read " + folder + ": " + error.message());
}

std::string sizeName(int size) {
  return size == kOwnSize    ? "load_image"
         : size == kDataSize ? "load_image_data"
                             : "load_svg_image " + std::to_string(size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--alone") == 0) return drawAlone(std::atoi(argv[2]), argv[3]);
  std::vector<int> sizes = {200};
  std::vector<std::string> folders;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency() / 2);
  bool clean = false, quiet = false;
  std::string cache;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--sizes" && i + 1 < argc) {
      sizes = sizesFrom(argv[++i]);
    } else if (argument == "--jobs" && i + 1 < argc) {
      jobs = static_cast<unsigned>(positiveNumber(argv[++i], 256, "--jobs"));
    } else if (argument == "--library-cache" && i + 1 < argc) {
      cache = argv[++i];
      std::error_code error;
      if (!std::filesystem::create_directories(cache, error) && error) refuseRun("no cache folder " + cache);
    } else if (argument == "--clean") {
      clean = true;
    } else if (argument == "--quiet") {
      quiet = true;
    } else {
      folders.push_back(argument);
    }
  }
  sizes.insert(sizes.begin(), {kOwnSize, kDataSize});
  std::vector<std::string> documents;
  for (const std::string& folder : folders) addDocuments(folder, documents);
  std::sort(documents.begin(), documents.end());
  if (documents.empty()) {
    std::fprintf(stderr, "no image files under the folders given\n");
    return 2;
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();

  struct Task {
    size_t document;
    int size;
  };
  std::vector<Task> tasks;
  for (size_t d = 0; d < documents.size(); ++d) {
    for (const int size : sizes) {
      if (size == kOwnSize || size == kDataSize || isSvg(documents[d])) tasks.push_back({d, size});
    }
  }
  std::vector<Outcome> outcomes(tasks.size());
  std::atomic<size_t> next{0};
  std::mutex printing;
  std::vector<std::thread> workers;
  for (unsigned w = 0; w < jobs; ++w) {
    workers.emplace_back([&] {
      for (size_t t; (t = next++) < tasks.size();) {
        const std::string& path = documents[tasks[t].document];
        const int size = tasks[t].size;
        const Image qz = loadedByQz(size, path);
        std::optional<Image> alone = cachedAlone(cache, size, path);
        if (!alone) {
          alone = aloneInItsOwnProcess(self, size, path);
          keepAlone(cache, size, path, *alone);
        }
        outcomes[t] = compare(qz, *alone, [&] { return aloneInItsOwnProcess(self, size, path); });
        if (outcomes[t].verdict != Equal && !quiet) {  // as it comes, so that a long run shows its way
          const std::lock_guard<std::mutex> lock(printing);
          std::printf("%s, %s: %s: %s\n", path.c_str(), sizeName(size).c_str(), kVerdictNames[outcomes[t].verdict],
                      outcomes[t].detail.c_str());
          std::fflush(stdout);
        }
      }
      SDL_CleanupTLS();  // the error text SDL keeps for this thread
    });
  }
  for (std::thread& worker : workers) worker.join();

  std::map<int, std::array<size_t, kVerdicts>> counts;
  std::map<int, size_t> loaded;
  bool unclean = false;
  for (size_t t = 0; t < tasks.size(); ++t) {
    ++counts[tasks[t].size][outcomes[t].verdict];
    ++loaded[tasks[t].size];
    unclean = unclean || outcomes[t].verdict != Equal;
  }
  std::printf("\n| load | documents | equal | differs | refused by qz | refused by the library | refused by both |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const auto& [size, count] : counts) {
    std::printf("| %s | %zu | %zu | %zu | %zu | %zu | %zu |\n", sizeName(size).c_str(), loaded[size], count[Equal],
                count[Differs], count[RefusedByQz], count[RefusedByLibrary], count[RefusedByBoth]);
  }
  SDL_Quit();
  return clean && unclean ? 1 : 0;
}
