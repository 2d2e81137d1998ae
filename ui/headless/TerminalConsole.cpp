#include "ui/headless/TerminalConsole.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace Lumenbox {

TerminalConsole& TerminalConsole::instance() {
    static TerminalConsole console;
    return console;
}

TerminalConsole::TerminalConsole() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
}

TerminalConsole::~TerminalConsole() {
    if (reader_.joinable()) {
        const char stop = 0;
        while (::write(wakeWrite_, &stop, 1) < 0 && errno == EINTR) {
        }
        reader_.join();
    }
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void TerminalConsole::print(std::string_view text) {
    std::lock_guard lock(mutex_);
    printLocked(text);
}

void TerminalConsole::printLocked(std::string_view text) {
    while (!text.empty()) {
        ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // no terminal to show it on: the question simply waits
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

TerminalConsole::PromptId TerminalConsole::ask(std::string text, std::string retry,
                                               std::function<bool(const std::string&)> onLine,
                                               std::function<void()> onEnd) {
    std::unique_lock lock(mutex_);
    const PromptId id = nextId_++;
    if (inputEnded_ || wakeRead_ < 0) {
        lock.unlock();
        if (onEnd) onEnd();
        return id;
    }
    prompts_.push_back(Prompt{id, std::move(text), std::move(retry), std::move(onLine), std::move(onEnd)});
    if (prompts_.size() == 1) printLocked(prompts_.front().text);
    startReaderLocked();
    return id;
}

void TerminalConsole::withdraw(PromptId id, std::string_view notice) {
    std::lock_guard lock(mutex_);
    for (auto it = prompts_.begin(); it != prompts_.end(); ++it) {
        if (it->id != id) continue;
        const bool wasShown = it == prompts_.begin();
        prompts_.erase(it);
        printLocked(notice);
        if (wasShown && !prompts_.empty()) printLocked(prompts_.front().text);
        return;
    }
}

void TerminalConsole::startReaderLocked() {
    if (reader_.joinable()) return;
    reader_ = std::thread([this] { readLines(); });
}

void TerminalConsole::readLines() {
    std::string pending;
    std::vector<char> buffer(4096);
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) return;  // the console is going away
        if (fds[0].revents == 0) continue;
        ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        pending.append(buffer.data(), static_cast<std::size_t>(count));
        for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            deliver(line);
        }
    }
    endOfInput();
}

void TerminalConsole::deliver(const std::string& line) {
    PromptId id = 0;
    std::function<bool(const std::string&)> onLine;
    {
        std::lock_guard lock(mutex_);
        if (prompts_.empty()) {
            printLocked("(no question is waiting for an answer)\n");
            return;
        }
        id = prompts_.front().id;
        onLine = prompts_.front().onLine;
    }
    const bool answered = onLine(line);
    std::lock_guard lock(mutex_);
    if (prompts_.empty() || prompts_.front().id != id) return;  // withdrawn meanwhile
    if (!answered) {
        printLocked(prompts_.front().retry);
        return;
    }
    prompts_.pop_front();
    if (!prompts_.empty()) printLocked(prompts_.front().text);
}

void TerminalConsole::endOfInput() {
    std::deque<Prompt> unanswered;
    {
        std::lock_guard lock(mutex_);
        inputEnded_ = true;
        unanswered.swap(prompts_);
        if (!unanswered.empty()) printLocked("(standard input has ended: nothing more can be answered here)\n");
    }
    for (auto& prompt : unanswered) {
        if (prompt.onEnd) prompt.onEnd();
    }
}

}  // namespace Lumenbox
