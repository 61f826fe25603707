// The runtime directory, instance lock and Unix socket of the single-instance service. Nothing here trusts
// a path: the directory, the lock file and the socket are each checked to be what they should be and to
// belong to the effective user before they are used.
#include "platform/instance_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/deadline_io.h"

namespace {

constexpr int kConnectAttempts = 40;
constexpr auto kConnectPause = std::chrono::milliseconds(100);
constexpr auto kAcceptFailurePause = std::chrono::milliseconds(250);
// How long connect may wait for room in the backlog of a first instance that stopped accepting.
constexpr timeval kConnectTime{5, 0};

bool isPrivateDirectory(const struct stat& info) {
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

sockaddr_un socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

UniqueFd newStreamSocket(int extraFlags) {
  return UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | extraFlags, 0));
}

enum class Attempt { connected, retry, fail };

// One connection attempt: the socket file is checked first, so a planted link or file is never connected.
Attempt tryConnect(const std::string& path, UniqueFd& connection) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? Attempt::retry : Attempt::fail;
  if (!S_ISSOCK(info.st_mode) || info.st_uid != geteuid()) return Attempt::fail;
  connection = newStreamSocket(0);
  if (!connection.valid()) return Attempt::fail;
  // A Unix socket's connect waits for backlog room as long as its send timeout allows (then EAGAIN).
  if (setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &kConnectTime, sizeof kConnectTime) != 0) {
    return Attempt::fail;
  }
  const sockaddr_un address = socketAddress(path);
  if (connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return Attempt::connected;
  }
  return errno == ENOENT || errno == ECONNREFUSED ? Attempt::retry : Attempt::fail;
}

}  // namespace

std::string runtimeDirectoryPath(const char* xdgRuntimeDir, uid_t euid) {
  if (xdgRuntimeDir != nullptr && xdgRuntimeDir[0] == '/') return xdgRuntimeDir;
  return "/tmp/qz-" + std::to_string(euid);
}

std::optional<std::string> prepareRuntimeDirectory() {
  const char* xdgRuntimeDir = std::getenv("XDG_RUNTIME_DIR");
  std::string path = runtimeDirectoryPath(xdgRuntimeDir, geteuid());
  if (xdgRuntimeDir == nullptr || xdgRuntimeDir[0] != '/') mkdir(path.c_str(), 0700);  // exists: checked below
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !isPrivateDirectory(info)) return std::nullopt;
  return path;
}

bool fitsSocketAddress(const std::string& path) {
  return !path.empty() && path.size() < sizeof(sockaddr_un::sun_path) && path.find('\0') == std::string::npos;
}

InstanceLockResult acquireInstanceLock(const std::string& path, UniqueFd& holder) {
  UniqueFd lock(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  struct stat info;
  if (!lock.valid() || fstat(lock.get(), &info) != 0) return InstanceLockResult::failed;
  if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) return InstanceLockResult::failed;
  if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? InstanceLockResult::heldElsewhere : InstanceLockResult::failed;
  }
  holder = std::move(lock);
  return InstanceLockResult::acquired;
}

UniqueFd listenOnInstanceSocket(const std::string& path) {
  if (!fitsSocketAddress(path)) return {};
  UniqueFd listener = newStreamSocket(SOCK_NONBLOCK);
  if (!listener.valid()) return {};
  unlink(path.c_str());  // a socket left by an instance that died; the lock says nobody serves it
  const sockaddr_un address = socketAddress(path);
  if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
  if (chmod(path.c_str(), 0600) != 0 || listen(listener.get(), SOMAXCONN) != 0) {
    unlink(path.c_str());
    return {};
  }
  return listener;
}

UniqueFd acceptInstanceClient(int listener, int stopFd, Deadline deadline) {
  if (!waitForDescriptor(listener, POLLIN, deadline, stopFd)) return {};
  UniqueFd client(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!client.valid()) {
    if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
      pollfd stop{stopFd, POLLIN, 0};
      poll(&stop, stopFd >= 0 ? 1 : 0, static_cast<int>(kAcceptFailurePause.count()));
    }
    return {};
  }
  if (!peerIsSameUser(client.get())) return {};
  return client;
}

std::optional<FileIdentity> identityAtPath(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

std::optional<FileIdentity> identityOfDescriptor(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

std::optional<InstanceConnection> connectToInstance(const std::string& path) {
  if (!fitsSocketAddress(path)) return std::nullopt;
  for (int attempt = 1;; ++attempt) {
    InstanceConnection connection;
    const Attempt result = tryConnect(path, connection.socket);
    if (result == Attempt::connected) {
      const std::optional<PeerCredentials> server = peerCredentials(connection.socket.get());
      if (!server || server->uid != geteuid()) return std::nullopt;
      connection.serverPid = server->pid;
      return connection;
    }
    if (result == Attempt::fail || attempt == kConnectAttempts) return std::nullopt;
    std::this_thread::sleep_for(kConnectPause);
  }
}

std::optional<PeerCredentials> peerCredentials(int socket) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || size != sizeof credentials) {
    return std::nullopt;
  }
  return PeerCredentials{credentials.pid, credentials.uid};
}

bool peerIsSameUser(int socket) {
  const std::optional<PeerCredentials> peer = peerCredentials(socket);
  return peer && peer->uid == geteuid();
}
