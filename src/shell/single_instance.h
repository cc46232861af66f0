// One running program per user: a later start asks the running one to show
// its window and ends, so a user who lost the tray icon never gets a second,
// empty program whose mappings clash with the first one's.
//
// Windows: a named mutex in the session's namespace marks the running one; a
// later start finds its main window by title and sends it a registered window
// message, which the window answers by showing itself (a window procedure
// answers even while a message box or menu runs its own loop). The message's
// name is the window's title followed by ".show", on both sides.
// POSIX: an advisory lock on a file marks the running one (the system drops
// it when the process ends, however it ends); it listens on a Unix-domain
// socket beside the lock, and a later start connects and asks.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace lumesk::shell {

class SingleInstance {
  public:
    // name: the program's name, also its main window's title. folder (POSIX
    // only): where the lock and the socket live; empty for the user's runtime
    // folder ($XDG_RUNTIME_DIR, else the system's temporary folder).
    explicit SingleInstance(const std::string& name, const std::string& folder = "");
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True for the one running instance.
    bool first() const;
    // The first instance, POSIX: answers requests on a thread of its own and
    // runs onShow there for each. On Windows the window answers by itself.
    void serve(std::function<void()> onShow);
    // A later instance: asks the first to show its window. False when no
    // answer came within `wait` (it may still be starting or be gone).
    bool askToShow(std::chrono::milliseconds wait) const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace lumesk::shell
