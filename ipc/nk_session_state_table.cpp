#include "nk_session_state_table.h"

#include <memory>
#include <new>

#include "nk_closed_session_state.h"
#include "nk_exception.h"
#include "nk_initial_session_state.h"
#include "nk_opened_session_state.h"
#include "nk_suspended_session_state.h"
#include "nk_terminal_session_state.h"

namespace norvak {
namespace ipc {

namespace {

struct Table {
  NkInitialSessionState initial;
  NkOpenedSessionState opened;
  NkClosedSessionState closed;
  NkSuspendedSessionState suspended;
  NkTerminalSessionState terminal;
};

// Never destroyed: sessions owned by static objects may still switch states
// while the process exits.
Table& GetTable() {
  static Table* table = [] {
    try {
      return new Table();
    } catch (const std::bad_alloc&) {
      throw base::NkException("Cannot create a table of sessions states");
    }
  }();
  return *table;
}

}  // namespace

NkSessionState* NkSessionStateTable::Initial() { return &GetTable().initial; }
NkSessionState* NkSessionStateTable::Opened() { return &GetTable().opened; }
NkSessionState* NkSessionStateTable::Closed() { return &GetTable().closed; }
NkSessionState* NkSessionStateTable::Suspended() { return &GetTable().suspended; }
NkSessionState* NkSessionStateTable::Terminal() { return &GetTable().terminal; }

}  // namespace ipc
}  // namespace norvak
