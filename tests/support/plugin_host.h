// The test process as a backup host: loads ark_zarafa.so with dlopen (as the
// real client does), resolves its exports by plain name, collects every
// message the plug-in sends through DB_SetLog, and defines trace() for the
// common library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ark_zarafa.h"

namespace arktest {

class Plugin {
public:
    // The one loaded instance of this process (RTLD_NOW: an unresolved
    // symbol fails the load, as it would in the host).
    static Plugin &instance();

    void *symbol(const char *name) const; // fails the test when missing
    template <class F> F function(const char *name) const {
        return reinterpret_cast<F>(symbol(name));
    }

private:
    Plugin();
    void *handle_ = nullptr;
};

// Typed access to an exported function or variable, by the declaration in the
// public headers: ARK_FN(PushFIFOItem)(list, "a", 2); ARK_VAR(g_sARKZarafa).
#define ARK_FN(name) (::arktest::Plugin::instance().function<decltype(&::name)>(#name))
#define ARK_VAR(name) (*static_cast<decltype(&::name)>(::arktest::Plugin::instance().symbol(#name)))

// Messages delivered to the DB_SetLog sink, in order.
std::vector<std::string> &messages();
void clear_messages();
bool has_message(std::string_view exact);
bool has_message_containing(std::string_view part);
// Index of the first message equal to exact at or after from, or -1.
long message_index(std::string_view exact, size_t from = 0);
std::string all_messages(); // one per line, for failure output

// Lines formatted by the host's trace() function, in order.
std::vector<std::string> &trace_lines();

} // namespace arktest
