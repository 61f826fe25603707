// Lets a test process act as root of a fresh user namespace (with the other namespaces named in
// extraFlags), so that it may mount or chroot without privileges. Returns false where the system forbids it.
#pragma once

namespace qztest {

bool enterUserNamespace(int extraFlags);

}  // namespace qztest
