// The Lua `pack` module: compression and decompression of byte strings (raw DEFLATE, zlib, gzip), container
// detection, and the PackZipReader and PackZipWriter types. Every function reads and checks all its
// arguments before it calls the native layer, so a bad argument never leaves a native object half made;
// operational failures come back as nil and the native message.
#include "services/pack_lua.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "host/lua_api.h"
#include "services/compression.h"
#include "services/zip_reader.h"
#include "services/zip_writer.h"

namespace {

constexpr const char* kReaderType = "PackZipReader";
constexpr const char* kWriterType = "PackZipWriter";
constexpr lua_Integer kDefaultMaxOutputSize = 134217728;
constexpr lua_Integer kDefaultZipWriterLevel = 6;

using ReaderBox = std::unique_ptr<ZipArchiveReader>;
using WriterBox = std::unique_ptr<ZipArchiveWriter>;

std::string_view checkBytes(lua_State* L, int index) {
  size_t length = 0;
  const char* bytes = luaL_checklstring(L, index, &length);
  return {bytes, length};
}

// Argument 2 is an option table or nothing; true when it is a table.
bool hasOptionTable(lua_State* L) {
  if (lua_isnoneornil(L, 2)) return false;
  luaL_checktype(L, 2, LUA_TTABLE);
  return true;
}

enum class Sign { NonNegative, Positive };

// An integer option of the table at index 2, or `fallback` when the table or the field is absent.
lua_Integer integerOption(lua_State* L, const char* key, lua_Integer fallback, Sign sign) {
  if (!hasOptionTable(L)) return fallback;
  lua_getfield(L, 2, key);
  lua_Integer value = fallback;
  if (!lua_isnil(L, -1)) {
    if (!lua_isinteger(L, -1)) luaL_error(L, "option '%s' must be an integer", key);
    value = lua_tointeger(L, -1);
    if (sign == Sign::NonNegative && value < 0) luaL_error(L, "option '%s' must not be negative", key);
    if (sign == Sign::Positive && value < 1) luaL_error(L, "option '%s' must be positive", key);
  }
  lua_pop(L, 1);
  return value;
}

lua_Integer levelOption(lua_State* L, lua_Integer fallback, lua_Integer lowest, lua_Integer highest) {
  if (!hasOptionTable(L)) return fallback;
  lua_getfield(L, 2, "level");
  lua_Integer level = fallback;
  if (!lua_isnil(L, -1)) {
    if (!lua_isinteger(L, -1)) luaL_error(L, "option 'level' must be an integer");
    level = lua_tointeger(L, -1);
    if (level < lowest || level > highest) {
      luaL_error(L, "option 'level' must be between %d and %d", static_cast<int>(lowest), static_cast<int>(highest));
    }
  }
  lua_pop(L, 1);
  return level;
}

CompressionOptions compressionOptions(lua_State* L) {
  CompressionOptions options;
  options.maxOutputSize =
      static_cast<uint64_t>(integerOption(L, "max_output_size", kDefaultMaxOutputSize, Sign::NonNegative));
  options.level = static_cast<int32_t>(levelOption(L, 6, -1, 10));
  return options;
}

uint64_t decompressionLimit(lua_State* L) {
  return static_cast<uint64_t>(integerOption(L, "max_output_size", kDefaultMaxOutputSize, Sign::NonNegative));
}

int pushBytesOrFailure(lua_State* L, bool ok, const std::string& output, const std::string& error) {
  if (ok) {
    lua_pushlstring(L, output.data(), output.size());
    return 1;
  }
  luaL_pushfail(L);
  lua_pushlstring(L, error.data(), error.size());
  return 2;
}

int pushFailure(lua_State* L, const char* message) {
  luaL_pushfail(L);
  lua_pushstring(L, message);
  return 2;
}

// An unsigned size as an integer, or as a float from 2^63 on.
void pushSize(lua_State* L, uint64_t size) {
  if (size <= static_cast<uint64_t>(LUA_MAXINTEGER)) {
    lua_pushinteger(L, static_cast<lua_Integer>(size));
  } else {
    lua_pushnumber(L, static_cast<lua_Number>(size));
  }
}

// pack.detect(data) -> "gzip", "zlib", "zip" or nil
int packDetect(lua_State* L) {
  const std::optional<ContainerKind> kind = detectContainer(checkBytes(L, 1));
  if (!kind) {
    lua_pushnil(L);
  } else {
    lua_pushstring(L, *kind == ContainerKind::Gzip ? "gzip" : *kind == ContainerKind::Zlib ? "zlib" : "zip");
  }
  return 1;
}

template <bool ZlibWrapper>
int compressStream(lua_State* L) {
  const std::string_view data = checkBytes(L, 1);
  const CompressionOptions options = compressionOptions(L);
  std::string output, error;
  const bool ok = deflateCompress(data, output, ZlibWrapper, options, error);
  return pushBytesOrFailure(L, ok, output, error);
}

template <bool ZlibWrapper>
int decompressStream(lua_State* L) {
  const std::string_view data = checkBytes(L, 1);
  const uint64_t limit = decompressionLimit(L);
  std::string output, error;
  const bool ok = inflateDecompress(data, output, ZlibWrapper, limit, error);
  return pushBytesOrFailure(L, ok, output, error);
}

// pack.zlib.compress(data [, options]) -> zlib stream, or nil and message
int zlibCompress(lua_State* L) { return compressStream<true>(L); }
// pack.zlib.decompress(data [, options]) -> bytes, or nil and message
int zlibDecompress(lua_State* L) { return decompressStream<true>(L); }
// pack.zlib.deflate(data [, options]) -> raw DEFLATE data, or nil and message
int zlibDeflate(lua_State* L) { return compressStream<false>(L); }
// pack.zlib.inflate(data [, options]) -> bytes, or nil and message
int zlibInflate(lua_State* L) { return decompressStream<false>(L); }

// pack.gzip.compress(data [, options]) -> one gzip member, or nil and message
int gzipCompressLua(lua_State* L) {
  const std::string_view data = checkBytes(L, 1);
  const CompressionOptions options = compressionOptions(L);
  std::string output, error;
  const bool ok = gzipCompress(data, output, options, error);
  return pushBytesOrFailure(L, ok, output, error);
}

// pack.gzip.decompress(data [, options]) -> the joined contents of all members, or nil and message
int gzipDecompressLua(lua_State* L) {
  const std::string_view data = checkBytes(L, 1);
  const uint64_t limit = decompressionLimit(L);
  std::string output, error;
  const bool ok = gzipDecompress(data, output, limit, error);
  return pushBytesOrFailure(L, ok, output, error);
}

// Moves an open native object into a new userdata of the given type; should creating the userdata fail,
// the object is destroyed as the error unwinds.
template <typename Native>
void pushOwned(lua_State* L, std::unique_ptr<Native> native, const char* typeName) {
  void* memory = lua_newuserdatauv(L, sizeof(std::unique_ptr<Native>), 0);
  new (memory) std::unique_ptr<Native>(std::move(native));
  luaL_setmetatable(L, typeName);
}

ZipReaderLimits readerLimits(lua_State* L) {
  ZipReaderLimits limits;
  limits.maxEntrySize = static_cast<uint64_t>(integerOption(L, "max_entry_size", 33554432, Sign::NonNegative));
  limits.maxTotalSize = static_cast<uint64_t>(integerOption(L, "max_total_size", 134217728, Sign::NonNegative));
  limits.maxRatio = static_cast<uint64_t>(integerOption(L, "max_ratio", 1000, Sign::Positive));
  return limits;
}

template <auto Open>
int openReader(lua_State* L) {
  const std::string_view source = checkBytes(L, 1);
  const ZipReaderLimits limits = readerLimits(L);
  std::string error;
  std::unique_ptr<ZipArchiveReader> reader = Open(source, limits, error);
  if (!reader) return pushFailure(L, error.c_str());
  pushOwned(L, std::move(reader), kReaderType);
  return 1;
}

template <auto Open>
int openWriter(lua_State* L) {
  const std::string_view path = checkBytes(L, 1);
  const lua_Integer level = levelOption(L, kDefaultZipWriterLevel, 0, 10);
  std::string error;
  std::unique_ptr<ZipArchiveWriter> writer = Open(path, static_cast<uint32_t>(level), error);
  if (!writer) return pushFailure(L, error.c_str());
  pushOwned(L, std::move(writer), kWriterType);
  return 1;
}

// pack.zip.open_file_read(path [, limits]) -> PackZipReader, or nil and message
int zipOpenFileRead(lua_State* L) { return openReader<&ZipArchiveReader::openFile>(L); }
// pack.zip.open_memory_read(data [, limits]) -> PackZipReader, or nil and message
int zipOpenMemoryRead(lua_State* L) { return openReader<&ZipArchiveReader::openMemory>(L); }
// pack.zip.open_file_write(path [, options]) -> PackZipWriter keeping the existing entries, or nil and message
int zipOpenFileWrite(lua_State* L) { return openWriter<&ZipArchiveWriter::openWrite>(L); }
// pack.zip.open_file_create(path [, options]) -> PackZipWriter for a new archive, or nil and message
int zipOpenFileCreate(lua_State* L) { return openWriter<&ZipArchiveWriter::openCreate>(L); }

ReaderBox& checkReader(lua_State* L) { return *static_cast<ReaderBox*>(luaL_checkudata(L, 1, kReaderType)); }
WriterBox& checkWriter(lua_State* L) { return *static_cast<WriterBox*>(luaL_checkudata(L, 1, kWriterType)); }

constexpr const char* kReaderClosed = "ZIP archive is closed";
constexpr const char* kWriterClosed = "ZIP writer is closed";

// The entry that argument 2 names: an integer position from 1, or an exact name.
const ZipEntryInfo* resolveZipEntry(lua_State* L, const ZipArchiveReader& reader) {
  if (lua_isinteger(L, 2)) {
    const lua_Integer position = lua_tointeger(L, 2);
    return position >= 1 ? reader.entryAt(static_cast<uint64_t>(position - 1)) : nullptr;
  }
  if (lua_type(L, 2) == LUA_TSTRING) return reader.findEntry(checkBytes(L, 2));
  luaL_argerror(L, 2, "expected an entry index or name");
  return nullptr;
}

// reader:count() -> number of entries, or nil and message
int readerCount(lua_State* L) {
  const ReaderBox& reader = checkReader(L);
  if (!reader) return pushFailure(L, kReaderClosed);
  pushSize(L, reader->entryCount());
  return 1;
}

// reader:info(entry) -> table of the entry, or nil and message
int readerInfo(lua_State* L) {
  const ReaderBox& reader = checkReader(L);
  if (!reader) return pushFailure(L, kReaderClosed);
  const ZipEntryInfo* entry = resolveZipEntry(L, *reader);
  if (entry == nullptr) return pushFailure(L, "ZIP entry was not found");
  lua_createtable(L, 0, 9);
  pushSize(L, entry->index + 1);
  lua_setfield(L, -2, "index");
  lua_pushlstring(L, entry->name.data(), entry->name.size());
  lua_setfield(L, -2, "name");
  pushSize(L, entry->compressedSize);
  lua_setfield(L, -2, "compressed_size");
  pushSize(L, entry->uncompressedSize);
  lua_setfield(L, -2, "uncompressed_size");
  lua_pushinteger(L, entry->crc32);
  lua_setfield(L, -2, "checksum");
  lua_pushinteger(L, entry->method);
  lua_setfield(L, -2, "compression_method");
  lua_pushboolean(L, entry->isDirectory);
  lua_setfield(L, -2, "directory");
  lua_pushboolean(L, entry->isEncrypted);
  lua_setfield(L, -2, "encrypted");
  lua_pushboolean(L, entry->isSupported);
  lua_setfield(L, -2, "supported");
  return 1;
}

// reader:read(entry) -> the entry's bytes, or nil and message
int readerRead(lua_State* L) {
  const ReaderBox& reader = checkReader(L);
  if (!reader) return pushFailure(L, kReaderClosed);
  const ZipEntryInfo* entry = resolveZipEntry(L, *reader);
  if (entry == nullptr) return pushFailure(L, "ZIP entry was not found");
  std::string output, error;
  const bool ok = reader->extract(entry->index, output, error);
  return pushBytesOrFailure(L, ok, output, error);
}

// Destroys the native object of the userdata at index 1 (at most once); pushes true when asked to.
template <auto CheckBox, bool PushTrue>
int releaseNative(lua_State* L) {
  CheckBox(L).reset();
  if (!PushTrue) return 0;
  lua_pushboolean(L, 1);
  return 1;
}

// reader:close() -> true
int readerClose(lua_State* L) { return releaseNative<checkReader, true>(L); }
// reader:__close() and reader:__gc(): release the native reader
int readerRelease(lua_State* L) { return releaseNative<checkReader, false>(L); }

// Adds one entry through `Add`, after the closed check and before which no argument is looked at.
template <bool (ZipArchiveWriter::*Add)(std::string_view, std::string_view, std::string&)>
int addEntry(lua_State* L) {
  const WriterBox& writer = checkWriter(L);
  if (!writer) return pushFailure(L, kWriterClosed);
  const std::string_view name = checkBytes(L, 2);
  const std::string_view source = checkBytes(L, 3);
  std::string error;
  if (!((*writer).*Add)(name, source, error)) return pushFailure(L, error.c_str());
  lua_pushboolean(L, 1);
  return 1;
}

// writer:add_file(name, source_path) -> true, or nil and message
int writerAddFile(lua_State* L) { return addEntry<&ZipArchiveWriter::addFile>(L); }
// writer:add_memory(name, data) -> true, or nil and message
int writerAddMemory(lua_State* L) { return addEntry<&ZipArchiveWriter::addMemory>(L); }

// writer:close() -> true, or nil and message
int writerClose(lua_State* L) {
  WriterBox& writer = checkWriter(L);
  if (!writer) {
    lua_pushboolean(L, 1);
    return 1;
  }
  std::string error;
  const bool ok = writer->close(error);
  writer.reset();
  if (!ok) return pushFailure(L, error.c_str());
  lua_pushboolean(L, 1);
  return 1;
}

// writer:discard() -> true
int writerDiscard(lua_State* L) { return releaseNative<checkWriter, true>(L); }
// writer:__close() and writer:__gc(): an unfinished archive is abandoned, never installed
int writerRelease(lua_State* L) { return releaseNative<checkWriter, false>(L); }

// A new table holding `functions`, after checking that this module and the running Lua agree on versions.
void newFunctionTable(lua_State* L, const luaL_Reg* functions) {
  luaL_checkversion(L);
  lua_newtable(L);
  luaL_setfuncs(L, functions, 0);
}

void registerType(lua_State* L, const char* typeName, lua_CFunction release, const luaL_Reg* methods,
                  const char* protection) {
  luaL_newmetatable(L, typeName);
  lua_pushcfunction(L, release);
  lua_setfield(L, -2, "__close");
  lua_pushcfunction(L, release);
  lua_setfield(L, -2, "__gc");
  newFunctionTable(L, methods);
  lua_setfield(L, -2, "__index");
  lua_pushstring(L, protection);
  lua_setfield(L, -2, "__metatable");
  lua_pop(L, 1);
}

void addSubtable(lua_State* L, const char* name, const luaL_Reg* functions) {
  newFunctionTable(L, functions);
  lua_setfield(L, -2, name);
}

const luaL_Reg kReaderMethods[] = {
    {"count", readerCount}, {"info", readerInfo}, {"read", readerRead}, {"close", readerClose}, {nullptr, nullptr}};

const luaL_Reg kWriterMethods[] = {{"add_file", writerAddFile},
                                   {"add_memory", writerAddMemory},
                                   {"close", writerClose},
                                   {"discard", writerDiscard},
                                   {nullptr, nullptr}};

const luaL_Reg kZlibFunctions[] = {{"compress", zlibCompress},
                                   {"decompress", zlibDecompress},
                                   {"deflate", zlibDeflate},
                                   {"inflate", zlibInflate},
                                   {nullptr, nullptr}};

const luaL_Reg kGzipFunctions[] = {
    {"compress", gzipCompressLua}, {"decompress", gzipDecompressLua}, {nullptr, nullptr}};

const luaL_Reg kZipFunctions[] = {{"open_file_read", zipOpenFileRead},
                                  {"open_file_write", zipOpenFileWrite},
                                  {"open_file_create", zipOpenFileCreate},
                                  {"open_memory_read", zipOpenMemoryRead},
                                  {nullptr, nullptr}};

}  // namespace

int luaopen_pack(lua_State* L) {
  registerType(L, kReaderType, readerRelease, kReaderMethods, "protected pack ZIP archive");
  registerType(L, kWriterType, writerRelease, kWriterMethods, "protected pack ZIP writer");
  lua_createtable(L, 0, 4);
  lua_pushcfunction(L, packDetect);
  lua_setfield(L, -2, "detect");
  addSubtable(L, "zlib", kZlibFunctions);
  addSubtable(L, "gzip", kGzipFunctions);
  addSubtable(L, "zip", kZipFunctions);
  return 1;
}
