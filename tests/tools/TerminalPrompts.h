// Stands in for the terminal while a test runs: every question OpenSSL would ask there (a pass
// phrase, when a PEM read has no callback of its own) comes here instead, is counted and gets
// no answer. One at a time; the end of it gives OpenSSL back its own terminal.
#pragma once

#include <openssl/ui.h>

#include <atomic>

namespace testtools {

class TerminalPrompts {
public:
    TerminalPrompts() : method_(UI_create_method("test terminal")) {
        asked() = 0;
        UI_method_set_reader(method_, [](UI*, UI_STRING*) {
            ++asked();
            return -1;
        });
        UI_set_default_method(method_);
    }
    ~TerminalPrompts() {
        UI_set_default_method(UI_OpenSSL());
        UI_destroy_method(method_);
    }
    TerminalPrompts(const TerminalPrompts&) = delete;
    TerminalPrompts& operator=(const TerminalPrompts&) = delete;

    // The questions asked since this stand-in took over.
    int count() const { return asked().load(); }

private:
    static std::atomic<int>& asked() {
        static std::atomic<int> n{0};
        return n;
    }

    UI_METHOD* method_;
};

}  // namespace testtools
