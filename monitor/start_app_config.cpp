#include "monitor/start_app_config.h"

#include <climits>
#include <cctype>
#include <cstring>
#include <cstdint>
#include <vector>

#include "frame/app_name_less.h"
#include "frame/log.h"
#include "monitor/app_store.h"
#include "monitor/application.h"
#include "monitor/component.h"
#include "monitor/component_environment.h"
#include "monitor/resource_limit.h"

namespace {

// Time-outs are ints downstream; a saturated number must not turn negative.
int seconds(uint32_t value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }

// USER or USER:GROUP. Empty pieces do not count, so "wheel:" and ":wheel"
// both name the user wheel and "-" names nobody. False for three pieces.
bool splitUser(const std::string& text, std::string& user, std::string& group) {
  std::vector<std::string> pieces;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find(':', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) pieces.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  if (pieces.size() > 2) return false;
  user = pieces.size() > 0 ? pieces[0] : std::string();
  group = pieces.size() > 1 ? pieces[1] : std::string();
  return true;
}

std::string upperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

StartAppConfig::StartAppConfig(const std::string& fileName) : lexer_(fileName) {}

StartAppConfig::StartAppConfig(std::istream& in, const std::string& fileName)
    : lexer_(in, fileName) {}

void StartAppConfig::error(const std::string& message) { errorAt(lexer_.tokenLocation(), message); }

void StartAppConfig::errorAt(const std::string& location, const std::string& message) {
  error_ = true;
  const std::string text = location + ":" + message;
  if (firstError_.empty()) firstError_ = text;
  logError(text);
}

void StartAppConfig::skipLine() {
  while (token_ != StartAppLexer::EndOfLine && token_ != StartAppLexer::EndOfInput) next();
}

void StartAppConfig::skipBlankLines() {
  while (token_ == StartAppLexer::EndOfLine) next();
}

bool StartAppConfig::parse(const AddApp& add) {
  next();
  for (;;) {
    if (token_ == StartAppLexer::EndOfInput) return !error_;
    skipBlankLines();
    if (token_ == StartAppLexer::EndOfInput) continue;
    if (token_ != StartAppLexer::APPLICATION) {
      error("unknown section: " + lexer_.printable());
      skipLine();
      continue;
    }
    parseApplication(add);
  }
}

void StartAppConfig::parseApplication(const AddApp& add) {
  auto app = std::make_shared<Application>();
  processSettings_.clear();
  next();
  if (!lexer_.isString()) {
    // The block is still read, so that its own errors show up too.
    error("invalid application name");
  } else {
    app->setName(lexer_.getString());
    if (next() != StartAppLexer::EndOfLine) {
      error("invalid syntax: application name must bee without spaces");
    }
  }
  skipLine();
  skipBlankLines();
  while (token_ != StartAppLexer::EndOfInput && token_ != StartAppLexer::ENDAPPLICATION) {
    parseParameter(*app);
    skipBlankLines();
  }
  if (token_ == StartAppLexer::ENDAPPLICATION) next();
  applyProcessSettings(*app);
  applyHealth(*app);
  if (!add(app)) {
    error("dublicate application \"" + app->name() + "\". Possible there is unnecessary *.mmc file");
  }
}

void StartAppConfig::parseParameter(Application& app) {
  switch (token_) {
    case StartAppLexer::FULLNAME:
    case StartAppLexer::PATH: {
      // Only the first string counts: values with blanks must be quoted.
      Token key = token_;
      next();
      if (!lexer_.isString()) {
        error("parameter value error");
      } else if (key == StartAppLexer::FULLNAME) {
        app.setFullName(lexer_.getString());
      } else {
        // Executables are found as path + name. An empty value stays empty
        // (the current directory), rather than becoming the root.
        std::string path = lexer_.getString();
        if (!path.empty() && path.back() != '/') path += '/';
        app.setPath(path);
      }
      break;
    }
    case StartAppLexer::DEPENDS:
      parseDepends(app);
      break;
    case StartAppLexer::COMPONENTS:
      parseComponents(app);
      break;
    default:
      if (!parseProcessSetting() && !parseHealthParameter())
        error("unknown application parameter: " + lexer_.printable());
      break;
  }
  skipLine();
}

void StartAppConfig::parseDepends(Application& app) {
  // Commas are optional separators; only a doubled one is a slip.
  bool afterComma = false;
  for (next(); token_ != StartAppLexer::EndOfLine && token_ != StartAppLexer::EndOfInput;
       next()) {
    if (lexer_.isString()) {
      app.addDependency(lexer_.getString());
      afterComma = false;
    } else if (token_ == StartAppLexer::Comma) {
      if (afterComma) error("one too many ','");
      afterComma = true;
    } else {
      error("invalid syntax near unexpected token " + lexer_.printable());
      afterComma = false;
    }
  }
}

void StartAppConfig::parseComponents(Application& app) {
  for (;;) {
    next();
    if (token_ == StartAppLexer::ENDCOMPONENTS) return;
    if (token_ != StartAppLexer::EndOfLine) parseComponent(app);
    skipLine();
    if (token_ == StartAppLexer::EndOfInput) return;
  }
}

void StartAppConfig::parseComponent(Application& app) {
  if (!lexer_.isString()) {
    error("error component name " + lexer_.printable());
    return;
  }
  Component comp(lexer_.getString());
  comp.setAgent(appNameEqual(app.name(), "AGENT"));

  next();
  if (!lexer_.isString()) {
    error("error component parametr argv ");
    return;
  }
  comp.setArgv(lexer_.getString());

  if (next() != StartAppLexer::Number) {
    error("error component parametr TimeStart ");
    return;
  }
  comp.setTimeStart(seconds(lexer_.getNumber()));

  if (next() != StartAppLexer::Number) {
    error("error component parametr TimeStop ");
    return;
  }
  comp.setTimeStop(seconds(lexer_.getNumber()));

  // A wrong log type keeps the default and the line goes on.
  bool lineEnded = false;
  switch (next()) {
    case StartAppLexer::LOG:
      comp.setLogType(Component::kLogTypeLog);
      break;
    case StartAppLexer::MAIL:
      comp.setLogType(Component::kLogTypeMail);
      break;
    case StartAppLexer::Word:
    case StartAppLexer::Quoted:
      comp.setLogType(Component::kLogTypeCommand);
      comp.setCmd(lexer_.getString());
      break;
    default:
      error("error component parametr LogType");
      // Going on past the end of the line would take the next line's first
      // token as the user and then drop that whole line unread.
      lineEnded = token_ == StartAppLexer::EndOfLine || token_ == StartAppLexer::EndOfInput;
      break;
  }

  if (!lineEnded) next();
  std::string user, group;
  if (!lexer_.isString()) {
    error("error component parametr User");
    return;
  }
  if (!splitUser(lexer_.getString(), user, group)) {
    error("error component parametr User. Use USER:GROUP");
    return;
  }
  comp.setUser(user);
  comp.setGroup(group);
  app.addComponent(std::move(comp));
}

bool StartAppConfig::parseProcessSetting() {
  if (token_ != StartAppLexer::Word) return false;
  const std::string key = upperCase(lexer_.getString());
  const char* usage = nullptr;
  if (key == "LIMIT") {
    usage = "LIMIT [component] resource value";
  } else if (key == "MEMORY") {
    usage = "MEMORY [component] size";
  } else if (key == "ENV") {
    usage = "ENV [component] NAME=value";
  } else if (key == "ENVIRONMENT") {
    usage = "ENVIRONMENT [component] CLEAN|INHERIT";
  } else {
    return false;
  }
  // The keywords are no reserved words: a component may still be called
  // "env". Values are read as they stand ("2G", "64:128", "A=b").
  std::vector<std::string> words;
  for (token_ = lexer_.nextValue();
       token_ != StartAppLexer::EndOfLine && token_ != StartAppLexer::EndOfInput;
       token_ = lexer_.nextValue()) {
    if (!lexer_.isString()) {
      error("invalid syntax near unexpected token " + lexer_.printable());
      return true;
    }
    words.push_back(lexer_.getString());
  }
  const size_t values = key == "LIMIT" ? 2 : 1;
  if (words.size() != values && words.size() != values + 1) {
    error(std::string("use ") + usage);
    return true;
  }
  ProcessSetting setting;
  setting.location = lexer_.tokenLocation();
  if (words.size() > values) setting.component = words[0];
  const std::string& value = words.back();
  if (key == "LIMIT") {
    ResourceLimit limit;
    const std::string why = ResourceLimit::parse(words[words.size() - 2], value, limit);
    if (!why.empty()) {
      error("LIMIT: " + why);
      return true;
    }
    setting.apply = [limit](ComponentDef& def) { def.setLimit(limit); };
  } else if (key == "MEMORY") {
    uint64_t bytes = 0;  // "unlimited": no ceiling
    if (upperCase(value) != "UNLIMITED" &&
        (!ResourceLimit::parseAmount(value, false, bytes) || bytes == 0)) {
      error("MEMORY: bad size '" + value + "'");
      return true;
    }
    setting.apply = [bytes](ComponentDef& def) { def.memoryMax = bytes; };
  } else if (key == "ENV") {
    if (!ComponentEnvironment::validAssignment(value)) {
      error("ENV: bad variable '" + value + "'");
      return true;
    }
    setting.apply = [value](ComponentDef& def) { def.setVariable(value); };
  } else {
    const std::string word = upperCase(value);
    if (word != "CLEAN" && word != "INHERIT") {
      error("ENVIRONMENT: use CLEAN or INHERIT, not '" + value + "'");
      return true;
    }
    const bool clean = word == "CLEAN";
    setting.apply = [clean](ComponentDef& def) { def.cleanEnvironment = clean; };
  }
  processSettings_.push_back(std::move(setting));
  return true;
}

void StartAppConfig::applyProcessSettings(Application& app) {
  for (const ProcessSetting& s : processSettings_) {
    if (!s.component.empty()) continue;
    for (Component& comp : app.components()) s.apply(comp.def());
  }
  for (const ProcessSetting& s : processSettings_) {
    if (s.component.empty()) continue;
    Component* comp = app.findComponent(s.component);
    if (comp) {
      s.apply(comp->def());
    } else {
      errorAt(s.location, "unknown component '" + s.component + "'");
    }
  }
  processSettings_.clear();
}

namespace {

bool wordIs(const StartAppLexer& lexer, const char* word) {
  return lexer.token() == StartAppLexer::Word && upperCase(lexer.getString()) == word;
}

}  // namespace

bool StartAppConfig::parseHealthParameter() {
  const bool watchdog = wordIs(lexer_, "WATCHDOG");
  if (!watchdog && !wordIs(lexer_, "HEALTH")) return false;
  HealthLine line;
  line.location = lexer_.tokenLocation();
  line.watchdog = watchdog;
  next();
  if (!lexer_.isString()) {
    error(std::string(watchdog ? "WATCHDOG" : "HEALTH") + ": error component name " +
          lexer_.printable());
    return true;
  }
  line.component = lexer_.getString();
  if (watchdog ? parseWatchdog(line) : parseHealth(line)) health_.push_back(std::move(line));
  return true;
}

bool StartAppConfig::parseHealth(HealthLine& line) {
  HealthDef& def = line.def;
  next();
  if (wordIs(lexer_, "TCP")) {
    def.kind = HealthDef::Kind::kTcp;
    std::string reason;
    if (nextValue() != StartAppLexer::Word && token_ != StartAppLexer::Quoted) {
      error("HEALTH: error TCP address " + lexer_.printable());
      return false;
    }
    if (!HealthDef::splitAddress(lexer_.getString(), def.host, def.port, reason)) {
      error("HEALTH: error TCP address \"" + lexer_.getString() + "\": " + reason);
      return false;
    }
  } else if (wordIs(lexer_, "EXEC")) {
    def.kind = HealthDef::Kind::kExec;
    next();
    if (!lexer_.isString() || lexer_.getString().empty()) {
      error("HEALTH: error EXEC command " + lexer_.printable());
      return false;
    }
    def.command = lexer_.getString();
  } else {
    error("HEALTH: TCP or EXEC expected, not " + lexer_.printable());
    return false;
  }
  return parseHealthOptions(def);
}

bool StartAppConfig::parseHealthOptions(HealthDef& def) {
  // INTERVAL, TIMEOUT and RETRIES, each at most once, in any order.
  bool seen[3] = {false, false, false};
  const char* const names[3] = {"INTERVAL", "TIMEOUT", "RETRIES"};
  int* const values[3] = {&def.interval, &def.timeout, &def.retries};
  for (next(); token_ != StartAppLexer::EndOfLine && token_ != StartAppLexer::EndOfInput;
       next()) {
    int which = -1;
    for (int i = 0; i < 3; ++i)
      if (wordIs(lexer_, names[i])) which = i;
    if (which < 0 || seen[which]) {
      error("HEALTH: unexpected " + lexer_.printable());
      return false;
    }
    seen[which] = true;
    if (next() != StartAppLexer::Number || lexer_.getNumber() == 0) {
      error(std::string("HEALTH: ") + names[which] + " needs a number above 0, not " +
            lexer_.printable());
      return false;
    }
    *values[which] = seconds(lexer_.getNumber());
  }
  return true;
}

bool StartAppConfig::parseWatchdog(HealthLine& line) {
  if (next() != StartAppLexer::Number || lexer_.getNumber() == 0) {
    error("WATCHDOG: seconds above 0 expected, not " + lexer_.printable());
    return false;
  }
  line.def.watchdog = seconds(lexer_.getNumber());
  if (next() != StartAppLexer::EndOfLine && token_ != StartAppLexer::EndOfInput) {
    error("WATCHDOG: unexpected " + lexer_.printable());
    return false;
  }
  return true;
}

void StartAppConfig::applyHealth(Application& app) {
  std::vector<HealthLine> lines;
  lines.swap(health_);
  for (const HealthLine& line : lines) {
    const char* what = line.watchdog ? "WATCHDOG" : "HEALTH";
    auto fail = [&](const std::string& message) {
      errorAt(line.location, std::string(what) + ": " + message);
    };
    Component* comp = app.findComponent(line.component);
    if (!comp) {
      fail("unknown component \"" + line.component + "\"");
      continue;
    }
    HealthDef def = comp->health();
    if (line.watchdog) {
      if (def.watchdog > 0) {
        fail("component \"" + line.component + "\" has a watchdog already");
        continue;
      }
      def.watchdog = line.def.watchdog;
    } else {
      if (def.hasCheck()) {
        fail("component \"" + line.component + "\" has a check already");
        continue;
      }
      const int watchdog = def.watchdog;
      def = line.def;
      def.watchdog = watchdog;
    }
    comp->setHealth(def);
  }
}

bool StartAppConfig::parse(AppStore& store) {
  return parse([&store](const std::shared_ptr<Application>& app) { return store.add(app); });
}
