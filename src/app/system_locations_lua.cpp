// File location and file reference functions of the `system` module. Parse failures are results (nil and
// the message), never raised errors.
#include <string>
#include <vector>

#include "app/system_functions.h"
#include "app/system_lua_support.h"
#include "host/file_location.h"
#include "host/lua_api.h"
#include "host/path_text.h"

namespace {

void setIntegerField(lua_State* L, const char* key, int64_t value) {
  lua_pushinteger(L, static_cast<lua_Integer>(value));
  lua_setfield(L, -2, key);
}

void setOptionalIntegerField(lua_State* L, const char* key, const std::optional<int64_t>& value) {
  if (value) setIntegerField(L, key, *value);
}

// One location table: type, then line or offset, then the parts that are present.
void pushFileLocation(lua_State* L, const FileLocation& location) {
  lua_createtable(L, 0, 4);
  if (location.kind == FileLocation::Kind::Offset) {
    lua_pushliteral(L, "offset");
    lua_setfield(L, -2, "type");
    setIntegerField(L, "offset", location.offset);
    setOptionalIntegerField(L, "end_offset", location.endOffset);
    return;
  }
  lua_pushliteral(L, "text");
  lua_setfield(L, -2, "type");
  setIntegerField(L, "line", location.line);
  setOptionalIntegerField(L, "column", location.column);
  setOptionalIntegerField(L, "end_line", location.endLine);
  setOptionalIntegerField(L, "end_column", location.endColumn);
}

void pushFileLocations(lua_State* L, const std::vector<FileLocation>& locations) {
  lua_createtable(L, static_cast<int>(locations.size()), 0);
  lua_Integer index = 0;
  for (const FileLocation& location : locations) {
    pushFileLocation(L, location);
    lua_rawseti(L, -2, ++index);
  }
}

}  // namespace

// system.parse_file_locations(text) -> array of locations, or nil and a message
int systemParseFileLocations(lua_State* L) {
  const std::string_view text = checkStringView(L, 1);
  return guardMemory(L, "parse file locations", [&] {
    std::vector<FileLocation> locations;
    std::string message;
    if (!parseLocationList(text, locations, message)) return pushFailure(L, message.c_str());
    pushFileLocations(L, locations);
    return 1;
  });
}

// system.parse_file_reference(text, parse_locations) -> {filename, virtual_path?, locations}, or nil and a message
int systemParseFileReference(lua_State* L) {
  const std::string_view text = checkStringView(L, 1);
  luaL_checktype(L, 2, LUA_TBOOLEAN);
  const bool parseLocations = lua_toboolean(L, 2);
  return guardMemory(L, "parse a file reference", [&] {
    FileReference reference;
    std::string message;
    if (!parseFileReference(text, parseLocations, reference, message, kHostPathStyle)) {
      return pushFailure(L, message.c_str());
    }
    lua_createtable(L, 0, 3);
    pushStringView(L, reference.filename);
    lua_setfield(L, -2, "filename");
    if (reference.virtualPath) {
      pushStringView(L, *reference.virtualPath);
      lua_setfield(L, -2, "virtual_path");
    }
    pushFileLocations(L, reference.locations);
    lua_setfield(L, -2, "locations");
    return 1;
  });
}

// system.format_filename(file [, inner]) -> file, or file ":/" inner
int systemFormatFilename(lua_State* L) {
  const std::string_view file = checkStringView(L, 1);
  if (lua_isnoneornil(L, 2)) {
    lua_settop(L, 1);
    return 1;
  }
  const std::string_view inner = checkStringView(L, 2);
  return guardMemory(L, "format a file name", [&] {
    pushStringView(L, formatVirtualPath(file, inner));
    return 1;
  });
}
