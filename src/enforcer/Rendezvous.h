#pragma once
// Where an enforcer whose window ended unexpectedly can be found by the same user's next
// window and by `tarvok --status` and `--exit`: a Unix socket named by the instance, in the
// user's runtime folder (/run/user/<uid>), else in a private folder /tmp/tarvok-<uid>. Both
// sides form the path themselves from the user id and the instance; no path is ever sent.

#include <cstdint>
#include <string>

namespace tarvok::enforcer {

// The folder, made when create is true and it is missing; empty when there is none that only
// this user can enter (a folder of another owner, open to others, or a link is never used).
std::string rendezvousFolder(unsigned uid, bool create);
// The socket's path in that folder; empty when there is no folder.
std::string rendezvousPath(unsigned uid, std::uint64_t instance, bool create);
// A connected socket to that enforcer (close-on-exec), or -1 when none listens there.
int connectRendezvous(unsigned uid, std::uint64_t instance);

} // namespace tarvok::enforcer
