// The Lua binding of canvases: the "Canvas" metatable (__gc, get_size, get_pixel) and the canvas module
// (image loading from files, bytes, Base64 and SVG; resizing; PNG output). The decoding, resampling and
// PNG work is in src/render; failures of that work come back as nil and a message, bad arguments raise.
#include "ui/lua/canvas_lua.h"

#include <SDL3/SDL_iostream.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "host/sdl_handles.h"
#include "platform/file_queries.h"
#include "render/base64_decode.h"
#include "render/canvas_decode.h"
#include "render/canvas_resize.h"
#include "render/image_decode.h"
#include "render/png_writer.h"
#include "ui/application.h"
#include "ui/lua/canvas_memory_pace.h"
#include "ui/window_registry.h"

namespace {

constexpr const char kCanvasType[] = "Canvas";
constexpr const char kCanvasFreed[] = "canvas already freed";
char canvasPaceKey;  // its address names the state's CanvasMemoryPace in the registry

// A Canvas userdata: the bitmap it owns, and the pixel bytes the state's pace counts for it until it is
// collected.
struct CanvasSlot {
  std::unique_ptr<CanvasBitmap> bitmap;
  uint64_t chargedBytes = 0;
};

// The state's pace, or null before its first canvas.
CanvasMemoryPace* findPace(lua_State* L) {
  lua_rawgetp(L, LUA_REGISTRYINDEX, &canvasPaceKey);
  auto* pace = static_cast<CanvasMemoryPace*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  return pace;
}

// The state's pace, made with its first canvas. It lives in Lua's memory with nothing to finalize, so it
// outlives every canvas finalizer, those that lua_close runs included.
CanvasMemoryPace& statePace(lua_State* L) {
  if (CanvasMemoryPace* pace = findPace(L)) return *pace;
  auto* pace = new (lua_newuserdatauv(L, sizeof(CanvasMemoryPace), 0)) CanvasMemoryPace();
  lua_rawsetp(L, LUA_REGISTRYINDEX, &canvasPaceKey);
  return *pace;
}

// A full collection, so that dropped canvases give their pixels back; not while the script has stopped the
// collector, nor inside a finalizer, where Lua refuses it.
void collectDroppedCanvases(lua_State* L, CanvasMemoryPace& pace) {
  if (lua_gc(L, LUA_GCISRUNNING) != 1 || lua_gc(L, LUA_GCCOLLECT) != 0) return;
  const auto heapBytes = static_cast<uint64_t>(lua_gc(L, LUA_GCCOUNT)) * 1024 + lua_gc(L, LUA_GCCOUNTB);
  pace.collected(heapBytes);
}

int pushFailure(lua_State* L, const std::string& message) {
  lua_pushnil(L);
  lua_pushlstring(L, message.data(), message.size());
  return 2;
}

// canvas:__gc() -- frees the bitmap once no frame in progress may still draw it
int canvasGc(lua_State* L) {
  auto* slot = static_cast<CanvasSlot*>(luaL_checkudata(L, 1, kCanvasType));
  std::unique_ptr<CanvasBitmap> bitmap = std::move(slot->bitmap);
  if (CanvasMemoryPace* pace = findPace(L)) pace->release(slot->chargedBytes);
  slot->chargedBytes = 0;
  // During process shutdown the application (and every window) may already be gone.
  if (bitmap && currentApplication() != nullptr) currentWindowRegistry().forgetImage(std::move(bitmap));
  return 0;
}

// canvas:get_size() -> width, height
int canvasGetSize(lua_State* L) {
  const CanvasBitmap* canvas = checkCanvas(L, 1, kCanvasFreed);
  lua_pushinteger(L, canvas->width);
  lua_pushinteger(L, canvas->height);
  return 2;
}

// canvas:get_pixel(x, y) -> r, g, b, a
int canvasGetPixel(lua_State* L) {
  const CanvasBitmap* canvas = checkCanvas(L, 1, kCanvasFreed);
  const int32_t x = checkCppInteger(L, 2);
  const int32_t y = checkCppInteger(L, 3);
  luaL_argcheck(L, x >= 0 && x < canvas->width, 2, "pixel x out of range");
  luaL_argcheck(L, y >= 0 && y < canvas->height, 3, "pixel y out of range");
  const uint32_t pixel =
      canvas->pixels[static_cast<size_t>(y) * static_cast<size_t>(canvas->width) + static_cast<size_t>(x)];
  lua_pushinteger(L, (pixel >> 16) & 0xFF);
  lua_pushinteger(L, (pixel >> 8) & 0xFF);
  lua_pushinteger(L, pixel & 0xFF);
  lua_pushinteger(L, pixel >> 24);
  return 4;
}

// Pushes canvas, nil, info for a decoded image, or nil and the reason.
int pushDecoded(lua_State* L, DecodedCanvas decoded) {
  if (!decoded.bitmap) return pushFailure(L, decoded.error);
  pushCanvas(L, decoded.bitmap);
  lua_pushnil(L);
  lua_createtable(L, 0, 1);
  if (decoded.bitsPerPixel != 0) {
    lua_pushinteger(L, decoded.bitsPerPixel);
    lua_setfield(L, -2, "bits_per_pixel");
  }
  return 3;
}

// Decodes encoded image bytes; only an exact "image/jpeg" or "image/jpg" skips format detection.
int loadFromMemory(lua_State* L, const void* data, size_t size, std::string_view mimeType) {
  const IoStreamHandle stream(SDL_IOFromConstMem(data, size));
  if (!stream) return pushFailure(L, sdlErrorOrDefault());
  const bool jpeg = mimeType == "image/jpeg" || mimeType == "image/jpg";
  return pushDecoded(L, decodeImage(stream.get(), nullptr, jpeg ? ImageDecoder::JpegOnly : ImageDecoder::Detect));
}

// The optional MIME type argument, whole; empty when absent.
std::string_view optionalMimeType(lua_State* L) {
  size_t length = 0;
  const char* text = luaL_optlstring(L, 2, "", &length);
  return {text, length};
}

// Why a loader's path can name no image file: a path holding a zero byte names no file, and a pipe or device
// would block the loader or never end. A missing file is left to the loader to report.
std::optional<std::string> refusedImagePath(std::string_view path) {
  const std::optional<FileStepError> refused = nonRegularFileError(path);
  if (!refused) return std::nullopt;
  return describeFileStepError(*refused);
}

// canvas.load_image(path) -> canvas, nil, info | nil, message
int canvasLoadImage(lua_State* L) {
  size_t length = 0;
  const char* path = luaL_checklstring(L, 1, &length);
  if (const std::optional<std::string> refused = refusedImagePath({path, length})) return pushFailure(L, *refused);
  return pushDecoded(L, decodeImageFile(path));
}

// canvas.load_image_data(bytes [, mime_type]) -> canvas, nil, info | nil, message
int canvasLoadImageData(lua_State* L) {
  size_t size = 0;
  const char* data = luaL_checklstring(L, 1, &size);
  return loadFromMemory(L, data, size, optionalMimeType(L));
}

const char* base64Failure(Base64Status status) {
  switch (status) {
    case Base64Status::Invalid:
      return "invalid Base64 image data";
    case Base64Status::TooLarge:
      return "Base64 image data is too large";
    case Base64Status::OutOfMemory:
      return "not enough memory to decode Base64 image data";
    case Base64Status::Decoded:
      break;
  }
  return nullptr;
}

// canvas.load_image_base64(text [, mime_type]) -> canvas, nil, info | nil, message
int canvasLoadImageBase64(lua_State* L) {
  size_t size = 0;
  const char* text = luaL_checklstring(L, 1, &size);
  const std::string_view mimeType = optionalMimeType(L);
  std::vector<uint8_t> bytes;
  if (const char* failure = base64Failure(decodeBase64Strict({text, size}, bytes))) return pushFailure(L, failure);
  return loadFromMemory(L, bytes.data(), bytes.size(), mimeType);
}

// canvas.load_svg_image(path, width, height) -> canvas | nil, message
int canvasLoadSvgImage(lua_State* L) {
  size_t length = 0;
  const char* path = luaL_checklstring(L, 1, &length);
  const int32_t width = checkPositiveInteger(L, 2);
  const int32_t height = checkPositiveInteger(L, 3);
  if (const std::optional<std::string> refused = refusedImagePath({path, length})) return pushFailure(L, *refused);
  DecodedCanvas decoded = decodeSvgImageFile(path, width, height);
  if (!decoded.bitmap) return pushFailure(L, decoded.error);
  return pushCanvas(L, decoded.bitmap);
}

// canvas.resize(canvas, width, height) -> new canvas | nil, message
int canvasResize(lua_State* L) {
  const CanvasBitmap* source = checkCanvas(L, 1, kCanvasFreed);
  const int32_t width = checkPositiveInteger(L, 2);
  const int32_t height = checkPositiveInteger(L, 3);
  std::unique_ptr<CanvasBitmap> resized;
  const char* failure = nullptr;
  try {
    resized = resizeCanvas(*source, width, height);
  } catch (const std::length_error&) {
    failure = "image dimensions are too large";
  } catch (const std::bad_alloc&) {
    failure = "not enough memory to resize image";
  }
  if (failure != nullptr) return pushFailure(L, failure);
  return pushCanvas(L, resized);
}

// Adds the script's metadata pairs of the table at index to entries; bad pairs raise argument errors.
void readMetadata(lua_State* L, int index, std::vector<PngTextEntry>& entries) {
  lua_pushnil(L);
  while (lua_next(L, index) != 0) {
    if (lua_type(L, -2) != LUA_TSTRING) {
      luaL_argerror(L, index, lua_pushfstring(L, "string expected as metadata key, got %s", luaL_typename(L, -2)));
    }
    if (lua_type(L, -1) != LUA_TSTRING) {
      luaL_argerror(L, index, lua_pushfstring(L, "string expected as metadata value, got %s", luaL_typename(L, -1)));
    }
    size_t keyLength = 0, valueLength = 0;
    const char* key = lua_tolstring(L, -2, &keyLength);
    const char* value = lua_tolstring(L, -1, &valueLength);
    const PngKeyCheck check = checkPngKey({key, keyLength});
    luaL_argcheck(L, check != PngKeyCheck::BadLength, index, "metadata keys must contain 1 to 79 bytes");
    luaL_argcheck(L, check != PngKeyCheck::HoldsZero, index, "metadata keys cannot contain zero bytes");
    luaL_argcheck(L, pngTextFits(keyLength, valueLength), index, "metadata value is too large");
    setPngMetadata(entries, {key, keyLength}, {value, valueLength});
    lua_pop(L, 1);
  }
}

// canvas.save_png(canvas, path [, metadata]) -> true | nil, message
int canvasSavePng(lua_State* L) {
  const CanvasBitmap* canvas = checkCanvas(L, 1, kCanvasFreed);
  size_t pathLength = 0;
  const char* path = luaL_checklstring(L, 2, &pathLength);
  const bool hasMetadata = !lua_isnoneornil(L, 3);
  if (hasMetadata) luaL_checktype(L, 3, LUA_TTABLE);
  std::optional<std::string> failure;
  try {
    std::vector<PngTextEntry> entries = defaultPngMetadata();
    if (hasMetadata) readMetadata(L, 3, entries);
    failure = savePngWithMetadata(*canvas, std::string(path, pathLength), entries);
  } catch (const std::bad_alloc&) {
    failure = "not enough memory to save PNG metadata";
  }
  if (failure) return pushFailure(L, *failure);
  lua_pushboolean(L, 1);
  return 1;
}

const luaL_Reg kCanvasMethods[] = {
    {"__gc", canvasGc},
    {"get_size", canvasGetSize},
    {"get_pixel", canvasGetPixel},
    {nullptr, nullptr},
};

const luaL_Reg kCanvasFunctions[] = {
    {"load_image", canvasLoadImage},
    {"load_image_base64", canvasLoadImageBase64},
    {"load_image_data", canvasLoadImageData},
    {"load_svg_image", canvasLoadSvgImage},
    {"resize", canvasResize},
    {"save_png", canvasSavePng},
    {nullptr, nullptr},
};

// Registers the "Canvas" metatable unless it exists, so canvases can be pushed whichever module opened first.
void ensureCanvasMetatable(lua_State* L) {
  if (luaL_newmetatable(L, kCanvasType) != 0) {
    luaL_setfuncs(L, kCanvasMethods, 0);
    lua_pushvalue(L, -1);
    lua_setfield(L, -2, "__index");
  }
  lua_pop(L, 1);
}

}  // namespace

int pushCanvas(lua_State* L, std::unique_ptr<CanvasBitmap>& bitmap) {
  ensureCanvasMetatable(L);
  CanvasMemoryPace& pace = statePace(L);
  auto* slot = new (lua_newuserdatauv(L, sizeof(CanvasSlot), 0)) CanvasSlot();
  luaL_setmetatable(L, kCanvasType);
  slot->chargedBytes = bitmap->pixels.size() * sizeof(uint32_t);
  slot->bitmap = std::move(bitmap);
  // The new canvas is on the stack, so the collection keeps it.
  if (pace.charge(slot->chargedBytes)) collectDroppedCanvases(L, pace);
  return 1;
}

CanvasBitmap* checkCanvas(lua_State* L, int index, const char* message) {
  auto* slot = static_cast<CanvasSlot*>(luaL_checkudata(L, index, kCanvasType));
  if (!slot->bitmap) luaL_argerror(L, index, message);
  return slot->bitmap.get();
}

uint64_t canvasPixelBytes(lua_State* L) {
  const CanvasMemoryPace* pace = findPace(L);
  return pace != nullptr ? pace->liveBytes() : 0;
}

int luaopen_canvas(lua_State* L) {
  luaL_checkversion(L);
  lua_createtable(L, 0, 6);
  luaL_setfuncs(L, kCanvasFunctions, 0);
  ensureCanvasMetatable(L);
  return 1;
}
