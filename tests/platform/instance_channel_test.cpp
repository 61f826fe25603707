#include "platform/instance_channel.h"

#include <fcntl.h>
#include <sys/socket.h>

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
  const UniqueFd accepted = acceptInstanceClient(listener.get(), stop.fd());
  for (const int fd : {lock.get(), listener.get(), connection->socket.get(), accepted.get(), stop.fd()}) {
    EXPECT_TRUE(closeOnExec(fd)) << fd;
  }
  stop.raise();
  EXPECT_FALSE(acceptInstanceClient(listener.get(), stop.fd()).valid()) << "a raised stop ends the wait";
  EXPECT_TRUE(stop.waitFor(std::chrono::milliseconds(0)));
}

}  // namespace
