#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Lumenbox {

// What one approval question shows the user. The texts are already cleaned to one line each.
struct ApprovalQuestion {
    std::string fileName;
    std::string clientName;
    std::string clientDescription;
    std::string sessionIdPrefix;  // shownPrefix of the session id: never the whole secret
    std::int64_t idleTimeoutSeconds = 0;
};

// Whoever asks the user: the native dialog on macOS, the headless stand-in elsewhere (both in
// ui/, which sits above the bridge and hands it this interface). Every function is safe from any
// thread.
class ApprovalPrompt {
public:
    virtual ~ApprovalPrompt() = default;

    // Puts the question and returns at once with a ticket for `dismiss` (never 0, never reused).
    // `done` is called exactly once, on whichever thread the prompt answers on, true only when
    // the user allowed: a denial, a closed window and a dismissal all answer false.
    virtual std::uint64_t ask(const ApprovalQuestion& question, std::function<void(bool allowed)> done) = 0;
    // Answers the question of `ticket` as denied if it is still open.
    virtual void dismiss(std::uint64_t ticket) = 0;
    // Answers every open question as denied.
    virtual void dismissAll() = 0;
};

// A prompt that shows nothing and never answers: its questions end only by their time limit.
// For a bridge built without a user (the fuzz targets, tools that never enable enhanced security).
ApprovalPrompt& silentApprovalPrompt();

}  // namespace Lumenbox
