// The Lua `web` module: web.download checks its arguments strictly, raising Lua errors for bad ones, and
// starts the download; everything that goes wrong later is reported by the "WebDownloadRequest" it returns.
// Collecting a request does not stop its download, which runs to its end on its own thread.
#include "services/web_lua.h"

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "host/lua_api.h"
#include "host/lua_checks.h"
#include "host/path_text.h"
#include "services/download.h"
#include "services/userdata_types.h"

namespace {

constexpr const char* kRequestType = "WebDownloadRequest";
constexpr lua_Integer kDefaultMaxSize = 134217728;

// The userdata's block: its owner of the download request, empty once collected.
struct RequestBox {
  std::shared_ptr<web::DownloadRequest> request;
};

std::string_view checkText(lua_State* L, int index) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, index, &length);
  return {text, length};
}

bool isHexDigest(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

std::string lowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The url and destination checks, in order, each at its own argument.
void checkTarget(lua_State* L, std::string_view url, std::string_view destination) {
  if (url.empty()) luaL_argerror(L, 1, "URL must not be empty");
  if (destination.empty()) luaL_argerror(L, 2, "destination must not be empty");
  if (url.find('\0') != std::string_view::npos) luaL_argerror(L, 1, "URL must not contain a NUL byte");
  if (destination.find('\0') != std::string_view::npos) {
    luaL_argerror(L, 2, "destination must not contain a NUL byte");
  }
  const bool http = url.substr(0, 7) == "http://";
  const bool https = url.substr(0, 8) == "https://";
  if (!http && !https) luaL_argerror(L, 1, "URL must use HTTP or HTTPS");
}

// The value of an options field fetched into `slot`, checked by `check` as the field of argument 3. The
// checked value goes back into the slot, so a number read as text stays alive there as its text.
template <typename Check>
auto checkOptionSlot(lua_State* L, int slot, const char* field, Check check) {
  lua_pushvalue(L, slot);
  const auto value = check(L, TableEntry::ofField(3, field));
  lua_replace(L, slot);
  return value;
}

// The options table at argument 3: its fields are fetched in order into slots 4 to 8 and read there.
web::DownloadOptions checkOptions(lua_State* L) {
  web::DownloadOptions options;
  if (lua_isnoneornil(L, 3)) return options;
  luaL_checktype(L, 3, LUA_TTABLE);
  lua_settop(L, 3);
  enum Slot { kMaxSize = 4, kSize, kSha256, kMethod, kBody };
  for (const char* field : {"max_size", "size", "sha256", "method", "body"}) lua_getfield(L, 3, field);
  if (!lua_isnil(L, kMaxSize)) {
    const lua_Integer maxSize = checkOptionSlot(L, kMaxSize, "max_size", checkEntryInteger);
    if (maxSize < 0) luaL_argerror(L, 3, "download sizes must not be negative");
    if (maxSize == 0) luaL_argerror(L, 3, "max_size must be positive");
    options.max_size = static_cast<uint64_t>(maxSize);
  } else {
    options.max_size = kDefaultMaxSize;
  }
  if (!lua_isnil(L, kSize)) {
    const lua_Integer size = checkOptionSlot(L, kSize, "size", checkEntryInteger);
    if (size < 0) luaL_argerror(L, 3, "download sizes must not be negative");
    options.size = static_cast<uint64_t>(size);
  }
  if (!lua_isnil(L, kSha256)) {
    size_t length = 0;
    const char* digest = lua_type(L, kSha256) == LUA_TSTRING ? lua_tolstring(L, kSha256, &length) : nullptr;
    if (digest == nullptr || !isHexDigest({digest, length})) {
      luaL_argerror(L, 3, "sha256 must contain 64 hexadecimal characters");
    }
    options.sha256 = lowerCase({digest, length});
  }
  bool post = false;
  if (!lua_isnil(L, kMethod)) {
    size_t length = 0;
    const char* method = lua_type(L, kMethod) == LUA_TSTRING ? lua_tolstring(L, kMethod, &length) : nullptr;
    const std::string_view text = method != nullptr ? std::string_view(method, length) : std::string_view();
    post = equalsIgnoringAsciiCase(text, "POST");
    if (method == nullptr || (!post && !equalsIgnoringAsciiCase(text, "GET"))) {
      luaL_argerror(L, 3, "download method must be GET or POST");
    }
  }
  if (!lua_isnil(L, kBody)) {
    const std::string_view body = checkOptionSlot(L, kBody, "body", checkEntryText);
    if (!post && !body.empty()) luaL_argerror(L, 3, "download body requires POST");
    if (post) options.body.assign(body);
  }
  options.method = post ? "POST" : "GET";
  return options;
}

// web.download(url, destination [, options]) -> WebDownloadRequest
int webDownload(lua_State* L) {
  const std::string_view url = checkText(L, 1);
  const std::string_view destination = checkText(L, 2);
  checkTarget(L, url, destination);
  web::DownloadOptions options = checkOptions(L);
  auto* box = static_cast<RequestBox*>(lua_newuserdatauv(L, sizeof(RequestBox), 0));
  try {
    auto request = web::startDownload(std::string(url), std::string(destination), std::move(options));
    new (box) RequestBox{std::move(request)};
  } catch (const std::bad_alloc&) {
    new (box) RequestBox();
  }
  if (!box->request) return luaL_error(L, "not enough memory to start a download");
  luaL_setmetatable(L, kRequestType);
  return 1;
}

const web::DownloadRequest& checkRequest(lua_State* L) {
  const auto* box = static_cast<const RequestBox*>(luaL_checkudata(L, 1, kRequestType));
  if (!box->request) luaL_argerror(L, 1, "download request was released");
  return *box->request;
}

// request:ready() -> true once the download has finished, either way
int requestReady(lua_State* L) {
  lua_pushboolean(L, checkRequest(L).ready());
  return 1;
}

// request:progress() -> bytes received and written so far
int requestProgress(lua_State* L) {
  lua_pushinteger(L, static_cast<lua_Integer>(checkRequest(L).progress()));
  return 1;
}

// request:result() -> true, size, status; or nil, message, status; or nil, "download is still running"
int requestResult(lua_State* L) {
  web::DownloadResult result;
  if (!checkRequest(L).result(result)) {
    lua_pushnil(L);
    lua_pushliteral(L, "download is still running");
    return 2;
  }
  if (result.ok) {
    lua_pushboolean(L, 1);
    lua_pushinteger(L, static_cast<lua_Integer>(result.size));
  } else {
    lua_pushnil(L);
    if (result.fixedMessage != nullptr) {
      lua_pushstring(L, result.fixedMessage);
    } else {
      lua_pushlstring(L, result.message.data(), result.message.size());
    }
  }
  lua_pushinteger(L, static_cast<lua_Integer>(result.status));
  return 3;
}

// request:__gc(): lets go of the request; the download itself goes on
int requestRelease(lua_State* L) {
  static_cast<RequestBox*>(luaL_checkudata(L, 1, kRequestType))->request.reset();
  return 0;
}

const luaL_Reg kRequestMethods[] = {
    {"ready", requestReady}, {"progress", requestProgress}, {"result", requestResult}, {nullptr, nullptr}};

}  // namespace

int luaopen_web(lua_State* L) {
  registerUserdataType(L, kRequestType, requestRelease, kRequestMethods, "protected web download request");
  luaL_checkversion(L);
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, webDownload);
  lua_setfield(L, -2, "download");
  return 1;
}
