#include "platform/instance_channel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "platform/deadline_io.h"
#include "scratch_dir.h"

namespace {

using InstanceChannel = ScratchDirTest;

bool closeOnExec(int fd) { return fd >= 0 && (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

TEST(InstanceChannelPaths, RuntimeDirectoryIsAbsoluteXdgOrPerUserTmp) {
  EXPECT_EQ(runtimeDirectoryPath("/run/user/5", 5), "/run/user/5");
  EXPECT_EQ(runtimeDirectoryPath(nullptr, 7), "/tmp/qz-7");
  EXPECT_EQ(runtimeDirectoryPath("", 7), "/tmp/qz-7");
  EXPECT_EQ(runtimeDirectoryPath("run/user/7", 7), "/tmp/qz-7");
  EXPECT_TRUE(fitsSocketAddress("/" + std::string(106, 'x')));
  EXPECT_FALSE(fitsSocketAddress("/" + std::string(107, 'x')));
}

TEST(InstanceChannelPeers, CredentialsNameThisProcessAndUser) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const UniqueFd one(pair[0]), other(pair[1]);
  const std::optional<PeerCredentials> peer = peerCredentials(one.get());
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->pid, getpid());
  EXPECT_EQ(peer->uid, geteuid());
  EXPECT_TRUE(peerIsSameUser(one.get()));
  EXPECT_FALSE(peerCredentials(-1));
}

TEST_F(InstanceChannel, EveryDescriptorIsCloseOnExec) {
  UniqueFd lock;
  ASSERT_EQ(acquireInstanceLock(path("i.lock"), lock), InstanceLockResult::acquired);
  UniqueFd second;
  EXPECT_EQ(acquireInstanceLock(path("i.lock"), second), InstanceLockResult::heldElsewhere);
  const UniqueFd listener = listenOnInstanceSocket(path("i.sock"));
  std::optional<InstanceConnection> connection = connectToInstance(path("i.sock"));
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->serverPid, getpid());
  StopEvent stop;
  ASSERT_TRUE(stop.open());
  const UniqueFd accepted = acceptInstanceClient(listener.get(), stop.fd(), kNoDeadline);
  for (const int fd : {lock.get(), listener.get(), connection->socket.get(), accepted.get(), stop.fd()}) {
    EXPECT_TRUE(closeOnExec(fd)) << fd;
  }
  stop.raise();
  EXPECT_FALSE(acceptInstanceClient(listener.get(), stop.fd(), kNoDeadline).valid()) << "a raised stop ends the wait";
  EXPECT_TRUE(stop.waitFor(std::chrono::milliseconds(0)));
}

// A first instance that stopped accepting, with its backlog full: connecting gives up instead of blocking.
TEST_F(InstanceChannel, ConnectingToAListenerThatAcceptsNothingMoreGivesUp) {
  UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = path("full.sock");
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener.get(), 0), 0);
  std::vector<UniqueFd> waiting;  // never accepted: they fill the backlog
  for (int i = 0; i < 2; ++i) {
    waiting.emplace_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    connect(waiting.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  std::future<bool> connected =
      std::async(std::launch::async, [&] { return connectToInstance(socketPath).has_value(); });
  if (connected.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "connecting still blocks";
    listener.reset();  // wakes the blocked connect, so the test can end
  }
  EXPECT_FALSE(connected.get());
}

}  // namespace
