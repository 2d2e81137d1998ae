#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace Lumenbox {

// The terminal of the development host, shared by every question the stand-in dialogs ask on it.
// Questions are answered one at a time, in the order they were asked: only the one in front is
// shown, and each line typed goes to it. Standard input is read by a thread of the console's own,
// started with the first question and stopped (and joined) when the console is destroyed, which
// happens when the program ends or the plug-in that holds it is unloaded.
//
// Every member is safe from any thread.
class TerminalConsole {
public:
    using PromptId = std::uint64_t;

    static TerminalConsole& instance();
    ~TerminalConsole();

    // Writes `text` to standard output in one piece.
    void print(std::string_view text);

    // Queues a question; `text` is printed when it reaches the front. `onLine` runs on the reader
    // thread for each line typed while the question is in front and returns true when the line
    // answered it (false: `retry` is printed and the next line goes to it again). `onEnd` runs
    // instead, once, if standard input ends before an answer (at once if it has ended already).
    PromptId ask(std::string text, std::string retry, std::function<bool(const std::string& line)> onLine,
                 std::function<void()> onEnd = {});

    // Takes back a question that has not been answered, printing `notice` if it was still waiting;
    // the next question is shown. Nothing happens for an answered question.
    void withdraw(PromptId id, std::string_view notice);

private:
    struct Prompt {
        PromptId id = 0;
        std::string text;
        std::string retry;
        std::function<bool(const std::string&)> onLine;
        std::function<void()> onEnd;
    };

    TerminalConsole();
    void startReaderLocked();
    void readLines();
    void deliver(const std::string& line);
    void endOfInput();
    void printLocked(std::string_view text);

    std::mutex mutex_;
    std::deque<Prompt> prompts_;  // Guarded by mutex_; the front one is shown
    PromptId nextId_ = 1;         // Guarded by mutex_
    bool inputEnded_ = false;     // Guarded by mutex_
    std::thread reader_;          // started under mutex_
    int wakeRead_ = -1;           // the reader also waits on this pipe, so that it can be stopped
    int wakeWrite_ = -1;
};

}  // namespace Lumenbox
