#ifndef NORVAK_PROTOCOLS_NK_ACCESS_POLICY_H_
#define NORVAK_PROTOCOLS_NK_ACCESS_POLICY_H_

#include <sys/types.h>

#include <string>

#include "protocols/nk_peer.h"

namespace norvak {
namespace maild {

// What a management request asks of the monitor. A ReloadComp that names
// the monitor's own pid is a full reload and is judged as one.
enum class NkRequest { kStatus, kControl, kUpdate, kFullReload, kReloadComp, kLogs };

// What a peer's user is to the monitor, as far as the server found out.
enum class NkStanding {
  kStranger,
  kComponentUser,  // the user a running component runs as
  kAdmin,          // root, the monitor's own user, a member of AdminGroup
};

// Who may ask what: the one table that every server consults.
struct NkAccessRule {
  NkRequest request;
  const char* name;     // as refusal records name the request
  NkStanding least;  // the least standing of an identified peer on this host
  bool anonymous;    // taken from a peer nobody can name at all
};

// A TCP peer whose user nobody can tell: one beyond the loopback interface,
// or one whose socket was gone before it was looked up (a client that sends
// its request and closes at once).
bool NkIsAnonymous(const NkPeer& peer);

const NkAccessRule& NkAccessRuleFor(NkRequest request);

// The parts of a refusal's reason that depend on the monitor.
struct NkAccessScope {
  uid_t own_uid = 0;
  std::string admin_group;  // empty: none
};

// Why the peer may not make the request; empty when it may. An anonymous
// peer's ReloadComp is admitted here: the server then acts only on the pids
// of running components, never on its own.
std::string NkAccessRefusal(NkRequest request, const NkPeer& peer, NkStanding standing,
                            const NkAccessScope& scope);

// kAdmin for root, ownUid and the members of adminGroup (its primary or
// supplementary members, as the user database tells), else kStranger. Asks
// the user database: not for a thread that must not wait.
NkStanding NkAdminStanding(uid_t uid, const NkAccessScope& scope);

}  // namespace maild
}  // namespace norvak

#endif  // NORVAK_PROTOCOLS_NK_ACCESS_POLICY_H_
