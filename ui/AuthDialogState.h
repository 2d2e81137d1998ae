#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace Lumenbox {

// The answer of one authorization dialog, apart from whatever draws it. A dialog ends in exactly
// one way, the first of: allow, deny, closing its window, dismissal. Later events do nothing, so
// a button press that races a dismissal, or a window close that follows an answer, cannot report
// a second time.
//
// While it is open, a dialog belongs to the process-wide set of open dialogs, which keeps it (and
// whatever its window closer holds, such as the native controller) alive; answering removes it.
//
// Main thread only, except isCompleted.
class AuthDialogState : public std::enable_shared_from_this<AuthDialogState> {
public:
    using Done = std::function<void(bool allowed)>;

    // `ticket` names the dialog for dismissAuthDialog (ui/AuthDialog.h); 0 names none.
    static std::shared_ptr<AuthDialogState> create(Done done, std::uint64_t ticket = 0);
    AuthDialogState(const AuthDialogState&) = delete;
    AuthDialogState& operator=(const AuthDialogState&) = delete;

    // Joins the set of open dialogs. `closeWindow` takes the window away once the dialog has been
    // answered (it is called before `done`, never after the answer). Does nothing once answered or
    // when already shown.
    void show(std::function<void()> closeWindow = {});

    void allow() { complete(true); }
    void deny() { complete(false); }
    // The window's close box counts as a denial.
    void windowWillClose() { complete(false); }

    // Gives the answer unless one was given already: leaves the set of open dialogs, closes the
    // window, calls `done` with `allowed` and releases it. True when this call gave the answer.
    bool complete(bool allowed);

    // Safe from any thread.
    bool isCompleted() const { return completed_.load(); }
    std::uint64_t ticket() const { return ticket_; }

private:
    AuthDialogState(Done done, std::uint64_t ticket);

    const std::uint64_t ticket_;
    Done done_;
    std::function<void()> closeWindow_;
    std::atomic<bool> completed_{false};
    bool shown_ = false;
};

// The dialogs open right now, in the order they were shown. Main thread only.
std::vector<std::shared_ptr<AuthDialogState>> openAuthDialogs();
std::size_t openAuthDialogCount();

// Answers every open dialog as denied, on the calling thread. Dialogs opened by the callbacks
// that this runs stay open. Main thread only; dismissNativeAuthDialogs (ui/AuthDialog.h) is the
// form for other threads. The plug-in calls it directly at shutdown, so that no dialog outlives it.
void dismissOpenAuthDialogs();

}  // namespace Lumenbox
