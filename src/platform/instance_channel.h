// The per-user places where one qz instance meets later starts of the same executable: a private runtime
// directory, the instance lock (held by the first instance for its whole life, dropped by the kernel when it
// dies) and a Unix stream socket that only processes of the same user may use. Every descriptor made here
// is close-on-exec, so programs that qz starts never hold the lock or the socket.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/deadline_io.h"
#include "platform/unique_fd.h"

// $XDG_RUNTIME_DIR when it is set and absolute, else /tmp/qz-<euid>.
std::string runtimeDirectoryPath(const char* xdgRuntimeDir, uid_t euid);

// The runtime directory of this process, the fallback created with mode 0700 when missing. None unless it
// is a directory (not a link) of the effective user with no group or other permission bits.
std::optional<std::string> prepareRuntimeDirectory();

// Whether a Unix socket address can hold the path.
bool fitsSocketAddress(const std::string& path);

enum class InstanceLockResult { acquired, heldElsewhere, failed };

// Opens (creating, 0600, never through a link) the lock file, which must be a regular file of the effective
// user, and takes its exclusive lock without waiting. On `acquired` the holder keeps the lock.
InstanceLockResult acquireInstanceLock(const std::string& path, UniqueFd& holder);

// Binds a listening socket at path (a stale file there is removed: call this only while holding the
// instance lock) with mode 0600; invalid on failure.
UniqueFd listenOnInstanceSocket(const std::string& path);

// Waits for the next client of the listening socket until the deadline or until stopFd becomes readable. A
// client of another user is closed before anything is read from it. Invalid at the deadline, on a stop,
// such a client, or a failure (after a pause of 250 ms, so that a persistent failure does not spin).
UniqueFd acceptInstanceClient(int listener, int stopFd, Deadline deadline);

// Which file a path or a descriptor names, so that the first instance can tell whether its lock file and
// its socket are still the ones in the runtime directory.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
// The file at path itself (a link is not followed); none when nothing is there.
std::optional<FileIdentity> identityAtPath(const std::string& path);
// The file open at fd; none for a descriptor that is not open.
std::optional<FileIdentity> identityOfDescriptor(int fd);

struct InstanceConnection {
  UniqueFd socket;
  pid_t serverPid = 0;
};

// Connects to the first instance's socket: up to 40 attempts 100 ms apart while the socket is missing or
// refuses. None when the path is a link, not a socket, or another user's, when the server is, or when its
// backlog stays full for 5 seconds.
std::optional<InstanceConnection> connectToInstance(const std::string& path);

struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
};
// The process and user at the other end of a connected Unix socket.
std::optional<PeerCredentials> peerCredentials(int socket);
// True when the other end of the connected socket runs as the effective user of this process.
bool peerIsSameUser(int socket);
