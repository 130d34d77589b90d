// plugin_loader.cpp - dlopen, export binding and the search for the files
// qvmigrate works with.
#include "plugin_loader.hpp"

#include <dlfcn.h>

#include <stdexcept>
#include <system_error>
#include <vector>

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

template <typename Fn> void bind(void *handle, const char *name, Fn &slot) {
    void *symbol = dlsym(handle, name);
    if (symbol == nullptr)
        throw std::runtime_error(std::string("the plug-in does not export ") + name);
    slot = reinterpret_cast<Fn>(symbol);
}

fs::path first_existing(const std::vector<fs::path> &candidates, const char *what) {
    std::string tried;
    for (const fs::path &candidate : candidates) {
        std::error_code error;
        if (!candidate.empty() && fs::is_regular_file(candidate, error))
            return candidate;
        if (!candidate.empty())
            tried += "\n  " + candidate.string();
    }
    throw std::runtime_error(std::string("cannot find ") + what + "; looked at:" + tried);
}

// libcurl and what it brings along (GnuTLS, p11-kit, the Kerberos error
// tables) keep thread-local storage.  A copy loads the plug-in once per
// side; were they unloaded with the first plug-in and loaded again with the
// second, their old thread-local slots would be left behind, and the leak
// checker of the sanitizer builds crashes on those at exit.  So they stay
// for the life of the process; the plug-in itself still comes afresh.
void keep_transport_libraries_loaded() {
    static void *const curl = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    (void)curl;
}

} // namespace

std::unique_ptr<Plugin> Plugin::load(const fs::path &path) {
    keep_transport_libraries_loaded();
    // RTLD_LOCAL: the plug-in's own symbols (its copy of cJSON among them)
    // stay out of the host's namespace.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *reason = dlerror();
        throw std::runtime_error("cannot load " + path.string() + ": " +
                                 (reason != nullptr ? reason : "unknown reason"));
    }
    std::unique_ptr<Plugin> plugin(new Plugin(handle, path));
    PluginExports &e = plugin->exports_;
    bind(handle, "Logon", e.Logon);
    bind(handle, "Logoff", e.Logoff);
    bind(handle, "GetLogonParameters", e.GetLogonParameters);
    bind(handle, "GetUserList", e.GetUserList);
    bind(handle, "GetFolderNames", e.GetFolderNames);
    bind(handle, "GetTrueFolder", e.GetTrueFolder);
    bind(handle, "InitRead", e.InitRead);
    bind(handle, "ConvertFolder", e.ConvertFolder);
    bind(handle, "CloseRead", e.CloseRead);
    bind(handle, "InitWrite", e.InitWrite);
    bind(handle, "WriteMsg", e.WriteMsg);
    bind(handle, "CloseWrite", e.CloseWrite);
    bind(handle, "TestFile", e.TestFile);
    return plugin;
}

Plugin::~Plugin() {
    if (handle_ != nullptr)
        dlclose(handle_);
}

fs::path executable_dir() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self.parent_path();
}

fs::path find_plugin(const std::string &explicit_path) {
    if (!explicit_path.empty())
        return first_existing({explicit_path}, "the plug-in");
    const fs::path here = executable_dir();
    std::vector<fs::path> candidates = {here / "libqvamz.so", here / "../lib/libqvamz.so"};
#ifdef QVMIGRATE_BUILT_PLUGIN
    candidates.emplace_back(QVMIGRATE_BUILT_PLUGIN);
#endif
    return first_existing(candidates, "the plug-in libqvamz.so");
}

fs::path find_sandbox(const std::string &explicit_path) {
    if (!explicit_path.empty())
        return first_existing({explicit_path}, "ews-sandbox");
    const fs::path here = executable_dir();
    std::vector<fs::path> candidates = {here / "ews-sandbox", here / "../ews-sandbox/ews-sandbox"};
#ifdef QVMIGRATE_BUILT_SANDBOX
    candidates.emplace_back(QVMIGRATE_BUILT_SANDBOX);
#endif
    return first_existing(candidates, "ews-sandbox");
}

} // namespace qvmigrate
