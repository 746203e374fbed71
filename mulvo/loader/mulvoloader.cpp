#include "mulvoloader.h"

#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace mulvo {

namespace {

std::string lastDlError()
{
    const char *text = dlerror();
    return text ? text : "unknown error";
}

template <typename Function>
bool resolve(void *handle, const std::string &file, const char *name, Function &function,
             std::string &error)
{
    dlerror();
    void *symbol = dlsym(handle, name);
    if (!symbol) {
        error = file + ": missing function " + name;
        return false;
    }
    function = reinterpret_cast<Function>(symbol);
    return true;
}

// libmulvo.so.1 in the program's own tree (<prefix>/bin/program beside <prefix>/lib or the
// installation's library directory), or empty. Looked up here rather than left to the
// RUNPATH, because dlopen applies the RUNPATH of its caller, and a sanitizer runtime that
// intercepts dlopen becomes that caller.
std::string ownTreeLibrary()
{
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return {};
    std::string path(exe, size_t(n));
    for (int i = 0; i < 2; ++i) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos)
            return {};
        path.resize(slash);
    }
    for (const char *libdir : {"lib", MULVO_INSTALL_LIBDIR}) {
        const std::string candidate = path + "/" + libdir + "/" + kDefaultSoname;
        if (access(candidate.c_str(), F_OK) == 0)
            return candidate;
    }
    return {};
}

} // namespace

std::unique_ptr<Library> Library::load(std::string &error)
{
    const char *chosen = std::getenv(kLibraryEnv);
    if (chosen && *chosen) {
        // dlopen would look a relative path up from the current directory, which a program
        // started from anywhere must never do.
        if (chosen[0] != '/') {
            error = std::string(kLibraryEnv) + " must be an absolute path: " + chosen;
            return nullptr;
        }
        return loadFile(chosen, error);
    }
    const std::string own = ownTreeLibrary();
    return loadFile(own.empty() ? std::string(kDefaultSoname) : own, error);
}

std::unique_ptr<Library> Library::loadFile(const std::string &file, std::string &error)
{
    if (file.empty()) {
        error = "no adapter library named";
        return nullptr;
    }
    if (file[0] != '/' && file.find('/') != std::string::npos) {
        error = "adapter library must be an absolute path or a bare library name: " + file;
        return nullptr;
    }
    dlerror();
    // RTLD_NOW: a library with unresolved symbols fails here rather than in a later call;
    // RTLD_LOCAL: its symbols cannot stand in for anyone else's.
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = "cannot load adapter library " + file + ": " + lastDlError();
        return nullptr;
    }
    Api api;
    const bool complete = resolve(handle, file, "mulvo_open", api.open, error) &&
                          resolve(handle, file, "mulvo_close", api.close, error) &&
                          resolve(handle, file, "mulvo_mbout", api.mbout, error) &&
                          resolve(handle, file, "mulvo_mbin", api.mbin, error) &&
                          resolve(handle, file, "mulvo_set_extension", api.set_extension, error) &&
                          resolve(handle, file, "mulvo_get_extension", api.get_extension, error) &&
                          resolve(handle, file, "mulvo_connect", api.connect, error) &&
                          resolve(handle, file, "mulvo_intcout", api.intcout, error) &&
                          resolve(handle, file, "mulvo_out2", api.out2, error);
    if (!complete) {
        dlclose(handle);
        return nullptr;
    }
    return std::unique_ptr<Library>(new Library(handle, file, api));
}

Library::Library(void *handle, std::string file, const Api &api)
    : handle_(handle), file_(std::move(file)), api_(api)
{}

Library::~Library()
{
    dlclose(handle_);
}

} // namespace mulvo
