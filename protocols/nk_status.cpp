#include "protocols/nk_status.h"

#include <algorithm>
#include <utility>

#include "ipc/nk_exception.h"

namespace norvak {
namespace maild {

const char kRunningState[] = "running";
const char kStoppedState[] = "stopped";
const char kFailedState[] = "failed";
const char kWaitingState[] = "waiting";
const char kGivenUpState[] = "given up";
const char kStartingState[] = "starting";
const char kExitedState[] = "exited";
const char kStatusTrailers[] = "trailers: exit status";

namespace {

int32_t ReadCount(ipc::NkDdpUnit& unit, int32_t limit) {
  const int32_t count = unit.GetInt32();
  if (count < 0 || count > limit)
    throw base::NkException("management request: bad count " + std::to_string(count));
  return count;
}

void ReadTrailer(ipc::NkDdpUnit& reply, NkStatusResult& result) {
  const int32_t count = ReadCount(reply, kMaxNames * kMaxNames);
  std::vector<NkCompStatus*> comps;
  for (NkAppStatus& app : result.apps)
    for (NkCompStatus& comp : app.components) comps.push_back(&comp);
  int32_t last = -1;
  for (int32_t i = 0; i < count; ++i) {
    last = reply.GetInt32();
    if (static_cast<size_t>(i) < comps.size()) comps[i]->exitStatus = last;
  }
  if (static_cast<size_t>(count) != comps.size() + 1 || last != kHealthTrailerMark) return;
  for (NkCompStatus* comp : comps) {
    comp->notifyStatus = NkReadName(reply);
    const int32_t checks = ReadCount(reply, kMaxChecks);
    for (int32_t i = 0; i < checks; ++i) {
      NkCheckStatus check;
      check.check = NkReadName(reply);
      check.result = NkReadName(reply);
      check.time = reply.GetInt64();
      check.failures = reply.GetInt32();
      check.error = NkReadName(reply);
      comp->checks.push_back(std::move(check));
    }
  }
}

}  // namespace

std::string NkReadName(ipc::NkDdpUnit& unit) {
  const uint32_t length = static_cast<uint32_t>(unit.GetInt32());
  if (length > kMaxNameLength)
    throw base::NkException("management request: string of " + std::to_string(length) +
                            " bytes refused");
  std::string out(length, '\0');
  if (length > 0 && !unit.GetBuffer(out)) throw base::NkException("management request: short string");
  return out;
}

std::vector<std::string> NkReadNames(ipc::NkDdpUnit& unit) {
  const int32_t count = ReadCount(unit, kMaxNames);
  std::vector<std::string> names;
  for (int32_t i = 0; i < count; ++i) names.push_back(NkReadName(unit));
  return names;
}

bool NkAddNames(ipc::NkDdpUnit& unit, const std::vector<std::string>& names) {
  if (!unit.AddInt32(static_cast<int32_t>(names.size()))) return false;
  for (const std::string& name : names) {
    if (!unit.AddString(name)) return false;
  }
  return true;
}

std::unique_ptr<ipc::NkDdpUnit> NkStatusClient::CreateUnit() {
  return std::make_unique<ipc::NkDdpUnit>();
}

bool NkStatusClient::MakeRequest(ipc::NkDdpUnit& request) {
  result_ = NkStatusResult();
  return NkAddNames(request, apps_);
}

bool NkStatusClient::ProcessReply(ipc::NkDdpUnit& reply) {
  result_ = NkStatusServer::ReadResult(reply);
  return true;
}

NkStatusServer::NkStatusServer(Handler handler, Gate gate)
    : NkGatedServer(std::move(gate), "status"), handler_(std::move(handler)) {}

bool NkStatusServer::Process(ipc::NkDdpUnit& request, ipc::NkDdpUnit& reply) {
  NkStatusResult result;
  const std::string refusal = Refusal(request);
  const std::vector<std::string> apps = NkReadNames(request);
  if (!refusal.empty()) {
    result.message = refusal;
  } else if (handler_) {
    result = handler_(apps);
  } else {
    result.message = "status request refused: nobody to answer it";
  }
  StartReply(reply);
  if (!WriteResult(reply, result)) throw base::NkException("NkStatusServer: cannot build the answer");
  return true;
}

bool NkStatusServer::WriteResult(ipc::NkDdpUnit& reply, const NkStatusResult& result) {
  if (!reply.AddInt32(result.ok ? 1 : 0) ||
      !reply.AddString(result.ok ? std::string(kStatusTrailers) : result.message) ||
      !reply.AddInt32(static_cast<int32_t>(result.apps.size())))
    return false;
  for (const NkAppStatus& app : result.apps) {
    if (!reply.AddString(app.name) || !reply.AddString(app.fullName) ||
        !reply.AddInt32(app.running ? 1 : 0) || !reply.AddInt32(app.adminStopped ? 1 : 0) ||
        !NkAddNames(reply, app.dependencies) ||
        !reply.AddInt32(static_cast<int32_t>(app.components.size())))
      return false;
    for (const NkCompStatus& comp : app.components) {
      if (!reply.AddString(comp.name) || !reply.AddInt32(comp.pid) ||
          !reply.AddString(comp.state) || !reply.AddInt64(comp.startTime) ||
          !reply.AddInt32(comp.restarts) || !reply.AddInt64(comp.nextTry) ||
          !reply.AddInt64(comp.lastFaultTime) || !reply.AddString(comp.lastFaultCause))
        return false;
    }
  }
  if (!result.ok) return true;
  std::vector<int32_t> exits;
  for (const NkAppStatus& app : result.apps)
    for (const NkCompStatus& comp : app.components) exits.push_back(comp.exitStatus);
  exits.push_back(kHealthTrailerMark);
  if (!reply.AddInt32(static_cast<int32_t>(exits.size()))) return false;
  for (int32_t status : exits) {
    if (!reply.AddInt32(status)) return false;
  }
  for (const NkAppStatus& app : result.apps) {
    for (const NkCompStatus& comp : app.components) {
      const size_t checks = std::min<size_t>(comp.checks.size(), kMaxChecks);
      if (!reply.AddString(comp.notifyStatus.substr(0, kMaxNameLength)) ||
          !reply.AddInt32(static_cast<int32_t>(checks)))
        return false;
      for (size_t i = 0; i < checks; ++i) {
        const NkCheckStatus& check = comp.checks[i];
        if (!reply.AddString(check.check.substr(0, kMaxNameLength)) ||
            !reply.AddString(check.result) || !reply.AddInt64(check.time) ||
            !reply.AddInt32(check.failures) ||
            !reply.AddString(check.error.substr(0, kMaxNameLength)))
          return false;
      }
    }
  }
  return true;
}

NkStatusResult NkStatusServer::ReadResult(ipc::NkDdpUnit& reply) {
  NkStatusResult result;
  result.ok = reply.GetInt32() != 0;
  result.message = NkReadName(reply);
  const int32_t apps = ReadCount(reply, kMaxNames);
  for (int32_t i = 0; i < apps; ++i) {
    NkAppStatus app;
    app.name = NkReadName(reply);
    app.fullName = NkReadName(reply);
    app.running = reply.GetInt32() != 0;
    app.adminStopped = reply.GetInt32() != 0;
    app.dependencies = NkReadNames(reply);
    const int32_t comps = ReadCount(reply, kMaxNames);
    for (int32_t j = 0; j < comps; ++j) {
      NkCompStatus comp;
      comp.name = NkReadName(reply);
      comp.pid = reply.GetInt32();
      comp.state = NkReadName(reply);
      comp.startTime = reply.GetInt64();
      comp.restarts = reply.GetInt32();
      comp.nextTry = reply.GetInt64();
      comp.lastFaultTime = reply.GetInt64();
      comp.lastFaultCause = NkReadName(reply);
      app.components.push_back(std::move(comp));
    }
    result.apps.push_back(std::move(app));
  }
  if (result.ok && result.message == kStatusTrailers) {
    ReadTrailer(reply, result);
    result.message.clear();
  }
  return result;
}

}  // namespace maild
}  // namespace norvak
