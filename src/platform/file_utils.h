// Small file services shared by the host: the executable path, the current and temporary directories, a
// uniquely named temporary file, an existence test and deletion. The empty string is every text result's
// failure value.
#pragma once

#include <string>
#include <string_view>

// True when the system can take path as a file name: not empty and free of NUL bytes.
bool isSystemPath(std::string_view path);
std::string executablePathUtf8();
std::string currentDirectoryUtf8();
// The temporary directory with a trailing "/" ($TMPDIR when set, else /tmp/).
std::string tempDirectoryUtf8();
// Creates a new empty file "<prefix>_<pid>_<nnn>" (n from 000 to 255) in the temporary directory; returns its
// path, or empty when every name was taken or creation failed. An empty prefix becomes "tmp".
std::string createUniqueTempFile(std::string_view prefix);
bool pathExistsUtf8(std::string_view path);
// True when the file is gone afterwards (also when it never existed); else false with "delete failed (%d)".
bool deleteFileUtf8(std::string_view path, std::string& error);
bool deleteFileQuietly(std::string_view path);
