#include "protocols/nk_access_policy.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace norvak {
namespace maild {

namespace {

const NkAccessRule kRules[] = {
    {NkRequest::kStatus, "status", NkStanding::kAdmin, false},
    {NkRequest::kControl, "control", NkStanding::kAdmin, false},
    {NkRequest::kUpdate, "update", NkStanding::kAdmin, false},
    {NkRequest::kFullReload, "full reload", NkStanding::kAdmin, false},
    {NkRequest::kReloadComp, "reload", NkStanding::kComponentUser, true},
    // Components' output can carry what their own logs would keep private.
    {NkRequest::kLogs, "logs", NkStanding::kAdmin, false},
};

std::string whoMay(NkStanding least, const NkAccessScope& scope) {
  std::string who = "root";
  std::string own = "the monitor's user (uid " + std::to_string(scope.own_uid) + ")";
  if (scope.admin_group.empty() && least == NkStanding::kAdmin) return "neither root nor " + own;
  std::string text = "neither root, " + own;
  if (!scope.admin_group.empty()) text += ", a member of group \"" + scope.admin_group + "\"";
  if (least == NkStanding::kComponentUser) text += ", the user of a running component";
  const size_t last = text.rfind(", ");
  return text.substr(0, last) + " nor" + text.substr(last + 1);
}

}  // namespace

bool NkIsAnonymous(const NkPeer& peer) {
  return peer.transport == NkPeer::kInet && (!peer.loopback || !peer.has_credentials);
}

const NkAccessRule& NkAccessRuleFor(NkRequest request) {
  for (const NkAccessRule& rule : kRules) {
    if (rule.request == request) return rule;
  }
  return kRules[0];
}

std::string NkAccessRefusal(NkRequest request, const NkPeer& peer, NkStanding standing,
                            const NkAccessScope& scope) {
  const NkAccessRule& rule = NkAccessRuleFor(request);
  if (NkIsAnonymous(peer)) {
    if (rule.anonymous) return std::string();
    if (peer.loopback) return "the user of the peer's socket cannot be found";
    if (request == NkRequest::kUpdate)
      return "updates over TCP are taken from the loopback interface only";
    if (request == NkRequest::kFullReload)
      return "a full reload over TCP is taken from the loopback interface only";
    if (request == NkRequest::kLogs) return "logs over TCP are taken from the loopback interface only";
    return "status and control over TCP are taken from the loopback interface only";
  }
  if (peer.transport == NkPeer::kUnknown) return "the peer cannot be identified";
  if (!peer.has_credentials) return "the peer's credentials are unknown";
  if (standing >= rule.least) return std::string();
  return "uid " + std::to_string(peer.uid) + " is " + whoMay(rule.least, scope);
}

NkStanding NkAdminStanding(uid_t uid, const NkAccessScope& scope) {
  if (uid == 0 || uid == scope.own_uid) return NkStanding::kAdmin;
  if (scope.admin_group.empty()) return NkStanding::kStranger;
  std::vector<char> buffer(16384);
  group grp;
  group* found = nullptr;
  if (getgrnam_r(scope.admin_group.c_str(), &grp, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return NkStanding::kStranger;
  const gid_t admins = found->gr_gid;
  passwd pwd;
  passwd* user = nullptr;
  std::vector<char> userBuffer(16384);
  if (getpwuid_r(uid, &pwd, userBuffer.data(), userBuffer.size(), &user) != 0 || user == nullptr)
    return NkStanding::kStranger;
  if (user->pw_gid == admins) return NkStanding::kAdmin;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0)
      return NkStanding::kStranger;
  }
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<size_t>(i)] == admins) return NkStanding::kAdmin;
  }
  return NkStanding::kStranger;
}

}  // namespace maild
}  // namespace norvak
