#ifndef NORVAK_TESTS_SUPPORT_FAKE_COMPONENT_H_
#define NORVAK_TESTS_SUPPORT_FAKE_COMPONENT_H_

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "monitor/component.h"

const char kFakeComponent[] = NORVAK_BIN_DIR "/tools/fake-component";

// A component named `name` whose executable is fake-component, linked into
// dir (ending in '/') under that name unless it is there already.
inline Component fakeComponent(const std::string& dir, const std::string& name,
                               const std::string& argv = "", int timeStart = 5,
                               int timeStop = 5) {
  const std::string link = dir + name;
  if (access(link.c_str(), F_OK) != 0) {
    EXPECT_EQ(0, symlink(kFakeComponent, link.c_str())) << link;
  }
  Component c(name);
  c.setArgv(argv);
  c.setTimeStart(timeStart);
  c.setTimeStop(timeStop);
  c.setLogType(Component::kLogTypeLog);
  return c;
}

#endif  // NORVAK_TESTS_SUPPORT_FAKE_COMPONENT_H_
