#include "ui/AuthDialog.h"

namespace Lumenbox {

namespace {

class NativeApprovalPrompt final : public ApprovalPrompt {
public:
    std::uint64_t ask(const ApprovalQuestion& question, std::function<void(bool allowed)> done) override {
        return requestSessionAuthorization(question.fileName, question.clientName, question.clientDescription,
                                           question.sessionIdPrefix, question.idleTimeoutSeconds, std::move(done));
    }
    void dismiss(std::uint64_t ticket) override { dismissAuthDialog(ticket); }
    void dismissAll() override { dismissNativeAuthDialogs(); }
};

}  // namespace

ApprovalPrompt& nativeApprovalPrompt() {
    static NativeApprovalPrompt prompt;
    return prompt;
}

}  // namespace Lumenbox
