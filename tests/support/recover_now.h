#ifndef NORVAK_TESTS_SUPPORT_RECOVER_NOW_H_
#define NORVAK_TESTS_SUPPORT_RECOVER_NOW_H_

#include <time.h>

#include "monitor/application.h"
#include "monitor/standart_comp_strategy.h"

// The restart of one component as the main loop makes it, with the wait for
// the answer done here: spawn, answer, recovery report.
inline bool recoverNow(Application& app, Component& comp, time_t faultTime) {
  if (!app.beginRecovery(comp, Clock::system().monoNow())) return false;
  StandartCompStrategy strategy;
  const bool answered = comp.waitForAnswer();
  if (app.finishStart(comp, !answered, strategy) != Application::CompStart::kAnswered)
    return false;
  app.recovered(comp, faultTime, {}, time(nullptr));
  return true;
}

#endif  // NORVAK_TESTS_SUPPORT_RECOVER_NOW_H_
