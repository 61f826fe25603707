// The `system` module's one registration table, in the module's fixed order; the functions themselves live
// in the per-area binding files declared in system_functions.h.
#include "app/system_lua.h"

#include <iterator>

#include "app/system_functions.h"
#include "host/lua_api.h"

namespace {

const luaL_Reg kSystemFunctions[] = {
    {"poll_event", systemPollEvent},
    {"pump_events", systemPumpEvents},
    {"wait_event", systemWaitEvent},
    {"set_live_resize_callback", systemSetLiveResizeCallback},
    {"set_mouse_cursor", systemSetMouseCursor},
    {"set_window_title", systemSetWindowTitle},
    {"set_window_mode", systemSetWindowMode},
    {"get_window_mode", systemGetWindowMode},
    {"window_has_focus", systemWindowHasFocus},
    {"show_message_box", systemShowMessageBox},
    {"show_confirm_dialog", systemShowConfirmDialog},
    {"open_file_dialog", systemOpenFileDialog},
    {"chdir", systemChdir},
    {"list_dir", systemListDir},
    {"absolute_path", systemAbsolutePath},
    {"has_extension", systemHasExtension},
    {"resolve_shell_link", systemResolveShellLink},
    {"get_file_info", systemGetFileInfo},
    {"is_file", systemIsFile},
    {"is_dir", systemIsDir},
    {"read_file", systemReadFile},
    {"write_file_atomic", systemWriteFileAtomic},
    {"fix_slashes", systemFixSlashes},
    {"parse_file_locations", systemParseFileLocations},
    {"parse_file_reference", systemParseFileReference},
    {"format_filename", systemFormatFilename},
    {"join_path", systemJoinPath},
    {"temp_path", systemTempPath},
    {"mkdir", systemMkdir},
    {"remove_tree", systemRemoveTree},
    {"ensure_trailing_slash", systemEnsureTrailingSlash},
    {"remove_trailing_slash", systemRemoveTrailingSlash},
    {"normalize_path", systemNormalizePath},
    {"path_dirname", systemPathDirname},
    {"path_key", systemPathKey},
    {"get_clipboard", systemGetClipboard},
    {"set_clipboard", systemSetClipboard},
    {"random_hash", systemRandomHash},
    {"check_random_hash", systemCheckRandomHash},
    {"sha256", systemSha256},
    {"open_url", systemOpenUrl},
    {"open_directory", systemOpenDirectory},
    {"set_text_input_area", systemSetTextInputArea},
    {"get_time", systemGetTime},
    {"get_memory_usage_bytes", systemGetMemoryUsageBytes},
    {"get_computer_name", systemGetComputerName},
    {"get_user_name", systemGetUserName},
    {"sleep", systemSleep},
    {"exec", systemExec},
    {"spawn", systemSpawn},
    {"poll_forwarded_cli", systemPollForwardedCli},
    {"complete_forwarded_cli", systemCompleteForwardedCli},
    {"raise_window", systemRaiseWindow},
    {"debug_output", systemDebugOutput},
    {"fuzzy_match", systemFuzzyMatch},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_system(lua_State* L) {
  luaL_checkversion(L);
  lua_createtable(L, 0, static_cast<int>(std::size(kSystemFunctions) - 1));
  luaL_setfuncs(L, kSystemFunctions, 0);
  return 1;
}
