// Who may ask the monitor what, how many connections a peer may hold, and
// how often a refused peer reaches the log.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "protocols/nk_access_policy.h"
#include "protocols/nk_connection_quota.h"
#include "protocols/nk_refusal_log.h"

namespace {

using norvak::maild::NkAccessRefusal;
using norvak::maild::NkAccessScope;
using norvak::maild::NkPeer;
using norvak::maild::NkRequest;
using norvak::maild::NkStanding;

NkPeer peer(NkPeer::Transport transport, bool identified, uid_t uid = 1001, bool loopback = true) {
  NkPeer p;
  p.transport = transport;
  p.has_credentials = identified;
  p.uid = identified ? uid : static_cast<uid_t>(-1);
  p.loopback = transport == NkPeer::kInet && loopback;
  p.address = "192.0.2.2:4000";
  return p;
}

TEST(AccessPolicyTest, TheTable) {
  const NkPeer local = peer(NkPeer::kLocal, true);
  const NkPeer loopback = peer(NkPeer::kInet, true);
  const NkPeer elsewhere = peer(NkPeer::kInet, false, 0, false);
  const NkPeer unknownLocal = peer(NkPeer::kLocal, false);
  const NkPeer unknownLoopback = peer(NkPeer::kInet, false);
  const NkRequest admin[] = {NkRequest::kStatus, NkRequest::kControl, NkRequest::kUpdate, NkRequest::kLogs,
                             NkRequest::kFullReload};
  NkAccessScope scope;
  scope.own_uid = 1000;
  for (NkRequest request : admin) {
    SCOPED_TRACE(static_cast<int>(request));
    for (const NkPeer* p : {&local, &loopback}) {
      EXPECT_EQ(NkAccessRefusal(request, *p, NkStanding::kAdmin, scope), "");
      EXPECT_EQ(NkAccessRefusal(request, *p, NkStanding::kComponentUser, scope),
                "uid 1001 is neither root nor the monitor's user (uid 1000)");
    }
    EXPECT_NE(NkAccessRefusal(request, elsewhere, NkStanding::kAdmin, scope), "");
    EXPECT_NE(NkAccessRefusal(request, unknownLocal, NkStanding::kAdmin, scope), "");
    EXPECT_NE(NkAccessRefusal(request, unknownLoopback, NkStanding::kAdmin, scope), "");
    EXPECT_NE(NkAccessRefusal(request, NkPeer(), NkStanding::kAdmin, scope), "");
  }
  EXPECT_EQ(NkAccessRefusal(NkRequest::kUpdate, elsewhere, NkStanding::kAdmin, scope),
            "updates over TCP are taken from the loopback interface only");
  // Component pids: their users too, and any peer nobody can name (the
  // server then takes running components' pids only), but never a local
  // peer without credentials.
  EXPECT_EQ(NkAccessRefusal(NkRequest::kReloadComp, local, NkStanding::kComponentUser, scope), "");
  EXPECT_EQ(NkAccessRefusal(NkRequest::kReloadComp, elsewhere, NkStanding::kStranger, scope), "");
  EXPECT_EQ(NkAccessRefusal(NkRequest::kReloadComp, unknownLoopback, NkStanding::kStranger, scope),
            "");
  EXPECT_NE(NkAccessRefusal(NkRequest::kReloadComp, unknownLocal, NkStanding::kStranger, scope),
            "");
  scope.admin_group = "staff";
  EXPECT_EQ(NkAccessRefusal(NkRequest::kReloadComp, loopback, NkStanding::kStranger, scope),
            "uid 1001 is neither root, the monitor's user (uid 1000), a member of group \"staff\" "
            "nor the user of a running component");
}

TEST(AccessPolicyTest, AdminStandingFromTheUserDatabase) {
  NkAccessScope scope;
  scope.own_uid = 4242;
  EXPECT_EQ(norvak::maild::NkAdminStanding(0, scope), NkStanding::kAdmin);
  EXPECT_EQ(norvak::maild::NkAdminStanding(4242, scope), NkStanding::kAdmin);
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  EXPECT_EQ(norvak::maild::NkAdminStanding(nobody->pw_uid, scope), NkStanding::kStranger);
  const group* primary = getgrgid(nobody->pw_gid);
  ASSERT_NE(primary, nullptr);
  scope.admin_group = primary->gr_name;
  EXPECT_EQ(norvak::maild::NkAdminStanding(nobody->pw_uid, scope), NkStanding::kAdmin);
  scope.admin_group = "no-such-group-here";
  EXPECT_EQ(norvak::maild::NkAdminStanding(nobody->pw_uid, scope), NkStanding::kStranger);
}

TEST(ConnectionQuotaTest, FourAPeerAndTheLastOneForRootOnALocalSocket) {
  norvak::maild::NkConnectionQuota quota(7, 1000);
  const NkPeer stranger = peer(NkPeer::kInet, true, 65534);
  const NkPeer other = peer(NkPeer::kInet, false, 0, false);
  const NkPeer root = peer(NkPeer::kLocal, true, 0);
  const NkPeer own = peer(NkPeer::kInet, true, 1000);  // over TCP: no share of the last slot
  int ids[12];
  size_t open = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(quota.Admit(&ids[i], stranger, open++), "");
  EXPECT_EQ(quota.Admit(&ids[11], own, open++), "") << "the monitor's user has no share";
  EXPECT_NE(quota.Admit(&ids[4], stranger, open), "") << "a fifth for the same user";
  EXPECT_EQ(quota.Admit(&ids[4], other, open++), "");
  EXPECT_NE(quota.Admit(&ids[5], other, open), "") << "the last slot is root's";
  EXPECT_EQ(quota.Admit(&ids[5], root, open++), "");
  NkPeer seen;
  ASSERT_TRUE(quota.PeerOf(&ids[0], &seen));
  EXPECT_EQ(seen.uid, 65534u);
  quota.Depart(&ids[0]);
  quota.Depart(&ids[0]);  // twice counts once
  EXPECT_FALSE(quota.PeerOf(&ids[0], &seen));
  EXPECT_EQ(quota.Admit(&ids[6], stranger, 3), "") << "its slot is free again";
}

TEST(RefusalLogTest, OneRecordAPeerAMinuteCountingTheRest) {
  std::vector<std::string> records;
  norvak::maild::NkRefusalLog log([&](const std::string& r) { records.push_back(r); });
  for (int i = 0; i < 100; ++i) log.Refused("uid:1", "refused 1", 1000 + i / 10);
  log.Refused("uid:2", "refused 2", 1001);
  log.Refused("uid:1", "refused 1", 1060);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], "refused 1");
  EXPECT_EQ(records[1], "refused 2");
  EXPECT_EQ(records[2], "refused 1 (99 more refusals left out in the minute before)");
  // A crowd of peers does not grow the table past its bound.
  records.clear();
  for (size_t i = 0; i < 3 * norvak::maild::NkRefusalLog::kMaxPeers; ++i)
    log.Refused("addr:" + std::to_string(i), "x", 2000);
  EXPECT_LE(records.size(), norvak::maild::NkRefusalLog::kMaxPeers + 1);
}

}  // namespace
