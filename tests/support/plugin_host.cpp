#include "support/plugin_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace arktest {
namespace {

std::vector<std::string> g_messages;
std::vector<std::string> g_trace;

void collect(char *text) {
    g_messages.emplace_back(text);
    if (std::getenv("ARK_TEST_VERBOSE"))
        std::cerr << "[plugin] " << text << '\n';
}

} // namespace

Plugin::Plugin() {
    handle_ = dlopen(ARK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        std::cerr << "cannot load " << ARK_PLUGIN_PATH << ": " << dlerror() << '\n';
        std::abort();
    }
    auto set_log = reinterpret_cast<int (*)(void (*)(char *))>(dlsym(handle_, "DB_SetLog"));
    if (set_log)
        set_log(collect);
}

Plugin &Plugin::instance() {
    static Plugin plugin;
    return plugin;
}

void *Plugin::symbol(const char *name) const {
    void *address = dlsym(handle_, name);
    if (!address) {
        ADD_FAILURE() << "symbol " << name << " is not exported by the plug-in";
        std::abort();
    }
    return address;
}

std::vector<std::string> &messages() { return g_messages; }
void clear_messages() { g_messages.clear(); }

bool has_message(std::string_view exact) { return message_index(exact) >= 0; }

bool has_message_containing(std::string_view part) {
    for (const auto &m : g_messages)
        if (m.find(part) != std::string::npos)
            return true;
    return false;
}

long message_index(std::string_view exact, size_t from) {
    for (size_t i = from; i < g_messages.size(); ++i)
        if (g_messages[i] == exact)
            return static_cast<long>(i);
    return -1;
}

std::string all_messages() {
    std::string out;
    for (const auto &m : g_messages)
        out += m + '\n';
    return out;
}

std::vector<std::string> &trace_lines() { return g_trace; }

} // namespace arktest

// The host's trace function, which the plug-in's common library binds to.
extern "C" void trace(const char *format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    arktest::g_trace.emplace_back(buffer);
}
