// ZIP archives by the pack reader and writer next to other programs, on the same files in one run: listing
// the 65,536 entries of an archive through the Lua reader's `info` (against `unzip -v`, five runs each),
// reading every entry of a 70,000-entry archive and the one entry of an archive holding 1 GiB (against
// Python's zipfile and `unzip -p` to /dev/null), and writing the same 70,000 files and the 1 GiB file (against
// Info-ZIP's zip), all at compression level 6; then adding one entry to the 70,000-entry archive in write
// mode (against zip adding a file to it). The archives read are made by zip before the timing starts.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "host/lua_api.h"
#include "ratio_reporter.h"
#include "services/pack_lua.h"
#include "services/zip_reader.h"
#include "services/zip_writer.h"
#include "word_text.h"

namespace {

constexpr int kSmallFiles = 70000;
constexpr uint64_t kBigSize = uint64_t{1} << 30;

void runOrDie(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

// The scratch directory, made on first use and removed at the end.
const std::filesystem::path& workspace() {
  static const std::filesystem::path dir = [] {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("qz-zip-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return dir;
}

// small/ with the 70,000 files and many.zip made of them by zip.
std::string smallFiles(const std::string& name) {
  static const bool made = [] {
    std::filesystem::create_directories(workspace() / "small");
    for (int i = 0; i < kSmallFiles; ++i) {
      std::ofstream(workspace() / "small" / (std::to_string(i) + ".txt"), std::ios::binary)
          << wordText(40 + static_cast<size_t>(i % 400), static_cast<uint32_t>(i));
    }
    runOrDie("cd " + workspace().string() + " && zip -q -r -6 many.zip small");
    return true;
  }();
  return made ? (workspace() / name).string() : std::string();
}

// info.zip, made by zip of small/ and its first 65,535 files: the most entries the Lua reader opens.
std::string listedArchive() {
  static const bool made = [] {
    std::ofstream names(workspace() / "names.txt");
    names << "small/\n";
    for (int i = 0; i < 65535; ++i) names << "small/" << i << ".txt\n";
    names.close();
    runOrDie("cd " + smallFiles("") + " && zip -q -6 info.zip -@ < names.txt");
    return true;
  }();
  return made ? (workspace() / "info.zip").string() : std::string();
}

// big.txt of 1 GiB and big.zip made of it by zip.
std::string bigFile(const std::string& name) {
  static const bool made = [] {
    std::ofstream big(workspace() / "big.txt", std::ios::binary);
    const std::string block = wordText(size_t{64} << 20, 7);
    for (uint64_t written = 0; written < kBigSize; written += block.size()) big << block;
    big.close();
    runOrDie("cd " + workspace().string() + " && zip -q -6 big.zip big.txt");
    return true;
  }();
  return made ? (workspace() / name).string() : std::string();
}

void readAllWithPack(benchmark::State& state, const std::string& archive) {
  ZipReaderLimits limits;
  limits.maxEntries = kSmallFiles + 1;
  limits.maxEntrySize = limits.maxTotalSize = kBigSize * 2;
  uint64_t bytes = 0;
  for (auto _ : state) {
    std::string error, output;
    auto reader = ZipArchiveReader::openFile(archive, limits, error);
    if (!reader) state.SkipWithError(error.c_str());
    for (uint64_t i = 0; reader && i < reader->entryCount(); ++i) {
      if (reader->entryAt(i)->isDirectory) continue;
      if (!reader->extract(i, output, error)) state.SkipWithError(error.c_str());
      bytes += output.size();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void runTimed(benchmark::State& state, const std::string& command) {
  for (auto _ : state) runOrDie(command);
}

constexpr const char* kPythonReadAll =
    "python3 -c 'import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nfor i in z.infolist(): z.read(i)' ";

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

void BM_PackInfo65536Entries(benchmark::State& state) {
  const std::unique_ptr<lua_State, LuaStateCloser> lua(luaL_newstate());
  lua_State* L = lua.get();
  luaL_openlibs(L);
  luaL_requiref(L, "pack", luaopen_pack, 1);
  lua_pushstring(L, listedArchive().c_str());
  lua_setglobal(L, "archive");
  if (luaL_loadstring(L,
                      "local r = assert(pack.zip.open_file_read(archive)) "
                      "for i = 1, r:count() do r:info(i) end r:close()") != LUA_OK) {
    return state.SkipWithError(lua_tostring(L, -1));
  }
  for (auto _ : state) {
    lua_pushvalue(L, -1);
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) return state.SkipWithError(lua_tostring(L, -1));
    lua_gc(L, LUA_GCCOLLECT);
  }
}
void BM_UnzipList65536Entries(benchmark::State& state) {
  runTimed(state, "unzip -v " + listedArchive() + " > /dev/null");
}

void BM_PackRead70000Entries(benchmark::State& state) { readAllWithPack(state, smallFiles("many.zip")); }
void BM_PythonRead70000Entries(benchmark::State& state) { runTimed(state, kPythonReadAll + smallFiles("many.zip")); }
void BM_UnzipRead70000Entries(benchmark::State& state) {
  runTimed(state, "unzip -p " + smallFiles("many.zip") + " > /dev/null");
}
void BM_PackRead1GiBEntry(benchmark::State& state) { readAllWithPack(state, bigFile("big.zip")); }
void BM_PythonRead1GiBEntry(benchmark::State& state) { runTimed(state, kPythonReadAll + bigFile("big.zip")); }
void BM_UnzipRead1GiBEntry(benchmark::State& state) {
  runTimed(state, "unzip -p " + bigFile("big.zip") + " > /dev/null");
}

void BM_PackWrite70000Files(benchmark::State& state) {
  const std::string output = smallFiles("pack-many.zip");
  for (auto _ : state) {
    std::string error;
    auto writer = ZipArchiveWriter::openCreate(output, 6, error);
    for (int i = 0; writer && i < kSmallFiles; ++i) {
      const std::string name = "small/" + std::to_string(i) + ".txt";
      if (!writer->addFile(name, smallFiles(name), error)) state.SkipWithError(error.c_str());
    }
    if (!writer || !writer->close(error)) state.SkipWithError(error.c_str());
  }
}
void BM_ZipToolWrite70000Files(benchmark::State& state) {
  runTimed(state, "cd " + smallFiles("") + " && rm -f zip-many.zip && zip -q -r -6 zip-many.zip small");
}
// Write mode on the 70,000-entry archive: every entry copied, one added, the directory written and read back.
void BM_PackWriteModeAddTo70000Entries(benchmark::State& state) {
  const std::string output = smallFiles("pack-added.zip");
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::copy_file(smallFiles("many.zip"), output, std::filesystem::copy_options::overwrite_existing);
    state.ResumeTiming();
    std::string error;
    auto writer = ZipArchiveWriter::openWrite(output, 6, error);
    if (!writer || !writer->addMemory("added.txt", "added", error) || !writer->close(error)) {
      state.SkipWithError(error.c_str());
    }
  }
}
void BM_ZipToolAddTo70000Entries(benchmark::State& state) {
  const std::string dir = smallFiles("");
  runOrDie("cd " + dir + " && echo added > added.txt");
  for (auto _ : state) {
    state.PauseTiming();
    runOrDie("cp " + dir + "/many.zip " + dir + "/zip-added.zip");
    state.ResumeTiming();
    runOrDie("cd " + dir + " && zip -q -6 zip-added.zip added.txt");
  }
}
void BM_PackWrite1GiBFile(benchmark::State& state) {
  for (auto _ : state) {
    std::string error;
    auto writer = ZipArchiveWriter::openCreate(bigFile("pack-big.zip"), 6, error);
    if (!writer || !writer->addFile("big.txt", bigFile("big.txt"), error) || !writer->close(error)) {
      state.SkipWithError(error.c_str());
    }
  }
}
void BM_ZipToolWrite1GiBFile(benchmark::State& state) {
  runTimed(state, "cd " + bigFile("") + " && rm -f zip-big.zip && zip -q -6 zip-big.zip big.txt");
}

#define QZ_ONE_RUN(bench) BENCHMARK(bench)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()
#define QZ_FIVE_RUNS(bench) QZ_ONE_RUN(bench)->Repetitions(5)
QZ_FIVE_RUNS(BM_PackInfo65536Entries);
QZ_FIVE_RUNS(BM_UnzipList65536Entries);
QZ_ONE_RUN(BM_PackRead70000Entries);
QZ_ONE_RUN(BM_PythonRead70000Entries);
QZ_ONE_RUN(BM_UnzipRead70000Entries);
QZ_ONE_RUN(BM_PackRead1GiBEntry);
QZ_ONE_RUN(BM_PythonRead1GiBEntry);
QZ_ONE_RUN(BM_UnzipRead1GiBEntry);
QZ_ONE_RUN(BM_PackWrite70000Files);
QZ_ONE_RUN(BM_ZipToolWrite70000Files);
QZ_FIVE_RUNS(BM_PackWriteModeAddTo70000Entries);
QZ_FIVE_RUNS(BM_ZipToolAddTo70000Entries);
QZ_ONE_RUN(BM_PackWrite1GiBFile);
QZ_ONE_RUN(BM_ZipToolWrite1GiBFile);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto info = reporter.microseconds.find("BM_PackInfo65536Entries/iterations:1");
  const auto unzip = reporter.microseconds.find("BM_UnzipList65536Entries/iterations:1");
  if (info != reporter.microseconds.end() && unzip != reporter.microseconds.end()) {
    std::printf("\ninfo of 65,536 entries / unzip -v, fastest runs: %.1f / %.1f ms = %.2f x (target 1.0 x)\n",
                info->second, unzip->second, info->second / unzip->second);
  }
  benchmark::Shutdown();
  std::filesystem::remove_all(workspace());
  return 0;
}
