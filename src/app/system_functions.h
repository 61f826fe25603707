// The Lua functions of the `system` module, grouped by the binding file that defines them. The module's
// registration table (system_lua.cpp) lists them in its fixed order.
#pragma once

struct lua_State;

// Native events (system_events_lua.cpp) and live resize (system_live_resize.cpp).
int systemPollEvent(lua_State* L);
int systemPumpEvents(lua_State* L);
int systemWaitEvent(lua_State* L);
int systemSetLiveResizeCallback(lua_State* L);

// The main window, the cursor, text input, the clipboard and raising the window (system_window_lua.cpp).
int systemSetMouseCursor(lua_State* L);
int systemSetWindowTitle(lua_State* L);
int systemSetWindowMode(lua_State* L);
int systemGetWindowMode(lua_State* L);
int systemWindowHasFocus(lua_State* L);
int systemGetClipboard(lua_State* L);
int systemSetClipboard(lua_State* L);
int systemSetTextInputArea(lua_State* L);
int systemRaiseWindow(lua_State* L);

// Message boxes and the file dialog (system_dialogs_lua.cpp).
int systemShowMessageBox(lua_State* L);
int systemShowConfirmDialog(lua_State* L);
int systemOpenFileDialog(lua_State* L);

// Shortcuts (system_shell_link_lua.cpp).
int systemResolveShellLink(lua_State* L);

// Path text (system_paths_lua.cpp).
int systemAbsolutePath(lua_State* L);
int systemHasExtension(lua_State* L);
int systemFixSlashes(lua_State* L);
int systemJoinPath(lua_State* L);
int systemEnsureTrailingSlash(lua_State* L);
int systemRemoveTrailingSlash(lua_State* L);
int systemNormalizePath(lua_State* L);
int systemPathDirname(lua_State* L);
int systemPathKey(lua_State* L);

// File locations and references (system_locations_lua.cpp).
int systemParseFileLocations(lua_State* L);
int systemParseFileReference(lua_State* L);
int systemFormatFilename(lua_State* L);

// Files and directories (system_files_lua.cpp).
int systemChdir(lua_State* L);
int systemListDir(lua_State* L);
int systemGetFileInfo(lua_State* L);
int systemIsFile(lua_State* L);
int systemIsDir(lua_State* L);
int systemReadFile(lua_State* L);
int systemTempPath(lua_State* L);
int systemMkdir(lua_State* L);

// Saving and removing (system_file_changes_lua.cpp).
int systemWriteFileAtomic(lua_State* L);
int systemRemoveTree(lua_State* L);

// Content hashes and random identifiers (system_hash_lua.cpp).
int systemRandomHash(lua_State* L);
int systemCheckRandomHash(lua_State* L);
int systemSha256(lua_State* L);

// Small services (system_services_lua.cpp).
int systemGetTime(lua_State* L);
int systemGetMemoryUsageBytes(lua_State* L);
int systemGetComputerName(lua_State* L);
int systemGetUserName(lua_State* L);
int systemSleep(lua_State* L);
int systemDebugOutput(lua_State* L);
int systemFuzzyMatch(lua_State* L);

// Starting programs and handing things to the desktop (system_process_lua.cpp).
int systemOpenUrl(lua_State* L);
int systemOpenDirectory(lua_State* L);
int systemExec(lua_State* L);
int systemSpawn(lua_State* L);

// Forwarded command lines (system_forwarded_cli_lua.cpp).
int systemPollForwardedCli(lua_State* L);
int systemCompleteForwardedCli(lua_State* L);
