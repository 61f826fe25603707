// The Lua `xml` module: xml.parse builds a document, "XmlDocument" owns it, and "XmlNode" userdata name nodes
// inside it for read-only navigation. Each node keeps its document userdata as its user value, so the tree
// lives while any node is reachable; a document released by its __gc (which a finaliser running later in the
// same collection could still reach) answers "XML document is closed" from then on, through its nodes too.
#include "services/xml_lua.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "host/lua_api.h"
#include "services/userdata_types.h"
#include "services/xml_document.h"

namespace {

constexpr const char* kDocumentType = "XmlDocument";
constexpr const char* kNodeType = "XmlNode";
constexpr const char* kClosedMessage = "XML document is closed";

struct DocumentBox {
  ParsedXml document;  // its tree is null once released
};

DocumentBox& checkDocumentBox(lua_State* L) { return *static_cast<DocumentBox*>(luaL_checkudata(L, 1, kDocumentType)); }

// The open document at argument 1.
DocumentBox& checkOpenDocument(lua_State* L) {
  DocumentBox& box = checkDocumentBox(L);
  if (!box.document.tree) luaL_argerror(L, 1, kClosedMessage);
  return box;
}

// The node at argument 1, after checking that its document is still open.
pugi::xml_node checkNode(lua_State* L) {
  const auto* node = static_cast<const pugi::xml_node*>(luaL_checkudata(L, 1, kNodeType));
  lua_getiuservalue(L, 1, 1);
  const auto* box = static_cast<const DocumentBox*>(lua_touserdata(L, -1));
  if (box == nullptr || !box->document.tree) luaL_argerror(L, 1, kClosedMessage);
  lua_pop(L, 1);
  return *node;
}

// Pushes node as an "XmlNode" owned by the document userdata at documentIndex, or nil for an empty handle.
int pushNode(lua_State* L, pugi::xml_node node, int documentIndex) {
  if (!node) {
    lua_pushnil(L);
    return 1;
  }
  documentIndex = lua_absindex(L, documentIndex);
  new (lua_newuserdatauv(L, sizeof(pugi::xml_node), 1)) pugi::xml_node(node);
  luaL_setmetatable(L, kNodeType);
  lua_pushvalue(L, documentIndex);
  lua_setiuservalue(L, -2, 1);
  return 1;
}

// Pushes the node's document userdata (its user value).
void pushOwner(lua_State* L) { lua_getiuservalue(L, 1, 1); }

// The optional name at argument 2: nullopt when absent; a name holding a zero byte matches nothing.
struct NameArgument {
  bool present = false;
  bool matchable = true;
  const char* text = nullptr;
};

NameArgument optionalName(lua_State* L) {
  NameArgument name;
  if (lua_isnoneornil(L, 2)) return name;
  size_t length = 0;
  name.text = luaL_checklstring(L, 2, &length);
  name.present = true;
  name.matchable = std::strlen(name.text) == length;
  return name;
}

// The text of an option that may be given as a string or a number.
std::string indentOption(lua_State* L, int slot) {
  if (lua_isnil(L, slot)) return "\t";
  const int type = lua_type(L, slot);
  if (type != LUA_TSTRING && type != LUA_TNUMBER) luaL_argerror(L, 2, "'indent' must be a string");
  size_t length = 0;
  const char* text = lua_tolstring(L, slot, &length);
  if (std::memchr(text, '\0', length) != nullptr) luaL_argerror(L, 2, "'indent' must not contain a zero byte");
  return std::string(text, length);
}

bool booleanOption(lua_State* L, int slot, int argument, const char* message) {
  if (lua_isnil(L, slot)) return false;
  if (!lua_isboolean(L, slot)) luaL_argerror(L, argument, message);
  return lua_toboolean(L, slot) != 0;
}

// Raises "not enough memory to <what>" once the failed allocation has unwound.
template <typename Work>
auto guardXmlMemory(lua_State* L, const char* what, Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
  }
  luaL_error(L, "not enough memory to %s", what);
  return decltype(work())();
}

// xml.parse(text [, options]) -> XmlDocument, or nil and a message
int xmlParse(lua_State* L) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, 1, &length);
  XmlParseMode mode = XmlParseMode::Default;
  if (!lua_isnoneornil(L, 2)) {
    luaL_checktype(L, 2, LUA_TTABLE);
    lua_getfield(L, 2, "full");
    if (booleanOption(L, -1, 2, "'full' must be a boolean")) mode = XmlParseMode::Full;
    lua_pop(L, 1);
  }
  std::string error;
  ParsedXml document = guardXmlMemory(L, "parse XML", [&] { return parseXmlDocument({text, length}, mode, error); });
  if (!document.tree) {
    lua_pushnil(L);
    lua_pushlstring(L, error.data(), error.size());
    return 2;
  }
  auto* box = static_cast<DocumentBox*>(lua_newuserdatauv(L, sizeof(DocumentBox), 0));
  new (box) DocumentBox{std::move(document)};
  luaL_setmetatable(L, kDocumentType);
  return 1;
}

// document:root() -> XmlNode for the document element, or nil
int documentRoot(lua_State* L) { return pushNode(L, checkOpenDocument(L).document.tree->document_element(), 1); }

// document:serialize([options]) -> text
int documentSerialize(lua_State* L) {
  const DocumentBox& box = checkOpenDocument(L);
  std::string indent = "\t";
  bool compact = false;
  if (!lua_isnoneornil(L, 2)) {
    luaL_checktype(L, 2, LUA_TTABLE);
    lua_getfield(L, 2, "indent");
    lua_getfield(L, 2, "compact");
    indent = indentOption(L, -2);
    compact = booleanOption(L, -1, 2, "'compact' must be a boolean");
    lua_pop(L, 2);
  }
  std::string text;
  std::string error;
  if (!guardXmlMemory(L, "serialize XML",
                      [&] { return serializeXmlDocument(box.document, indent, compact, text, error); })) {
    return luaL_error(L, "%s", error.c_str());
  }
  lua_pushlstring(L, text.data(), text.size());
  return 1;
}

// document:__gc(): frees the tree and all else the document holds; the userdata reports a closed document from
// then on. The box itself is never destroyed (its memory is Lua's), so the document is moved out into a value
// that is: assigning an empty one would keep a string's heap buffer.
int documentRelease(lua_State* L) {
  const ParsedXml released = std::exchange(checkDocumentBox(L).document, ParsedXml{});
  return 0;
}

// node:type() -> "element", "text", ...
int nodeType(lua_State* L) {
  lua_pushstring(L, xmlNodeTypeName(checkNode(L).type()));
  return 1;
}

// node:name() -> name, "" when it has none
int nodeName(lua_State* L) {
  lua_pushstring(L, checkNode(L).name());
  return 1;
}

// node:value() -> value, "" when it has none
int nodeValue(lua_State* L) {
  lua_pushstring(L, checkNode(L).value());
  return 1;
}

// node:attribute(name) -> value, or nil
int nodeAttribute(lua_State* L) {
  const pugi::xml_node node = checkNode(L);
  size_t length = 0;
  const char* name = luaL_checklstring(L, 2, &length);
  const pugi::xml_attribute attribute = std::strlen(name) == length ? node.attribute(name) : pugi::xml_attribute();
  if (!attribute) {
    lua_pushnil(L);
  } else {
    lua_pushstring(L, attribute.value());
  }
  return 1;
}

pugi::xml_node firstChildElement(pugi::xml_node node, const char* name) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && std::strcmp(child.name(), name) == 0) return child;
  }
  return {};
}

// node:first_child([name]) -> XmlNode (with a name, the first child element of that name), or nil
int nodeFirstChild(lua_State* L) {
  const pugi::xml_node node = checkNode(L);
  const NameArgument name = optionalName(L);
  pugi::xml_node child;
  if (!name.present) {
    child = node.first_child();
  } else if (name.matchable) {
    child = firstChildElement(node, name.text);
  }
  pushOwner(L);
  return pushNode(L, child, -1);
}

// node:next_sibling([name]) -> XmlNode (with a name, the next sibling of that name), or nil
int nodeNextSibling(lua_State* L) {
  const pugi::xml_node node = checkNode(L);
  const NameArgument name = optionalName(L);
  pugi::xml_node sibling;
  if (!name.present) {
    sibling = node.next_sibling();
  } else if (name.matchable) {
    sibling = node.next_sibling(name.text);
  }
  pushOwner(L);
  return pushNode(L, sibling, -1);
}

const luaL_Reg kDocumentMethods[] = {{"root", documentRoot}, {"serialize", documentSerialize}, {nullptr, nullptr}};

const luaL_Reg kNodeMethods[] = {{"type", nodeType},
                                 {"name", nodeName},
                                 {"value", nodeValue},
                                 {"attribute", nodeAttribute},
                                 {"first_child", nodeFirstChild},
                                 {"next_sibling", nodeNextSibling},
                                 {nullptr, nullptr}};

const luaL_Reg kXmlFunctions[] = {{"parse", xmlParse}, {nullptr, nullptr}};

}  // namespace

int luaopen_xml(lua_State* L) {
  registerUserdataType(L, kDocumentType, documentRelease, kDocumentMethods, "protected XmlDocument");
  registerUserdataType(L, kNodeType, nullptr, kNodeMethods, "protected XmlNode");
  luaL_checkversion(L);
  lua_newtable(L);
  luaL_setfuncs(L, kXmlFunctions, 0);
  return 1;
}
