#ifndef NORVAK_CONFIG_START_APP_CONFIG_H_
#define NORVAK_CONFIG_START_APP_CONFIG_H_

#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "monitor/health_def.h"
#include "monitor/start_app_lexer.h"

class AppStore;
class Application;
class Component;
struct ComponentDef;

// Reader of one meta-configuration (*.mmc) file: builds the applications it
// describes, with their components, and hands them to a store. Every error
// is logged with its file and line and parsing goes on, so that one run
// shows all the errors of a file; the caller rejects the file as a whole.
class StartAppConfig {
 public:
  typedef StartAppLexer::LexerError LexerError;
  // Takes one application; false when it refuses it as a duplicate.
  typedef std::function<bool(const std::shared_ptr<Application>&)> AddApp;

  // Reads the file; throws LexerError when it cannot be read or is not a
  // regular file (see StartAppLexer).
  explicit StartAppConfig(const std::string& fileName);
  // Reads from a stream owned by the caller; fileName only labels messages.
  StartAppConfig(std::istream& in, const std::string& fileName);
  StartAppConfig(const StartAppConfig&) = delete;
  StartAppConfig& operator=(const StartAppConfig&) = delete;

  // Reads the whole file into the store. Applications added before an
  // error stay there. True when no error was found.
  bool parse(AppStore& store);
  bool parse(const AddApp& add);
  // The first error found, with its file and line; empty when none.
  const std::string& firstError() const { return firstError_; }

 private:
  typedef StartAppLexer::Token Token;

  Token next() { return token_ = lexer_.next(); }
  Token nextValue() { return token_ = lexer_.nextValue(); }
  void error(const std::string& message);
  void skipLine();
  void skipBlankLines();

  void parseApplication(const AddApp& add);
  void parseParameter(Application& app);
  void parseDepends(Application& app);
  void parseComponents(Application& app);
  void parseComponent(Application& app);

  // LIMIT, MEMORY, ENV and ENVIRONMENT lines: how the processes of one
  // component, or of all of the application's, are set up. They are applied
  // once the block is read, so they may stand anywhere in it; a component's
  // own lines count over the application's. False: no such line.
  bool parseProcessSetting();
  void applyProcessSettings(Application& app);
  void errorAt(const std::string& location, const std::string& message);
  struct ProcessSetting {
    std::string location;
    std::string component;  // empty: every component
    std::function<void(ComponentDef&)> apply;
  };
  std::vector<ProcessSetting> processSettings_;

  // HEALTH and WATCHDOG lines. They are words, not keywords, so that files
  // naming a component or a user so still read as before; they are only
  // recognised where a parameter starts. A line may come before the
  // component it names: the lines are applied at the end of the block.
  struct HealthLine {
    std::string location;  // of the line, for the errors found at the end
    std::string component;
    bool watchdog = false;
    HealthDef def;
  };
  bool parseHealthParameter();
  bool parseHealth(HealthLine& line);
  bool parseWatchdog(HealthLine& line);
  bool parseHealthOptions(HealthDef& def);
  void applyHealth(Application& app);
  std::vector<HealthLine> health_;

  StartAppLexer lexer_;
  Token token_ = StartAppLexer::Unknown;
  bool error_ = false;
  std::string firstError_;
};

#endif  // NORVAK_CONFIG_START_APP_CONFIG_H_
