// Loading an adapter access library at run time.
#pragma once

#include "mulvolib.h"

#include <memory>
#include <string>

namespace mulvo {

// The nine functions of an adapter library as a table. The program calls the adapter only
// through such a table, so tests can hand it a fake.
struct Api
{
    uint32_t (*open)(uint32_t device) = nullptr;
    int32_t (*close)(uint32_t handle) = nullptr;
    int32_t (*mbout)(uint32_t handle, uint32_t value) = nullptr;
    int32_t (*mbin)(uint32_t handle, uint32_t *value) = nullptr;
    int32_t (*set_extension)(uint32_t handle, void *record) = nullptr;
    void *(*get_extension)(uint32_t handle) = nullptr;
    int32_t (*connect)(uint32_t handle, mulvo_callback callback) = nullptr;
    int32_t (*intcout)(uint32_t handle, uint32_t value) = nullptr;
    int32_t (*out2)(uint32_t handle, uint32_t port, uint32_t value) = nullptr;
};

// Name of the environment variable that may name another adapter library by absolute path.
inline constexpr const char *kLibraryEnv = "DOVRAX_MULVOLIB";
// Soname of the default adapter library.
inline constexpr const char *kDefaultSoname = "libmulvo.so.1";

// An adapter library opened with dlopen; closed again when destroyed.
class Library
{
public:
    // Loads the library that $DOVRAX_MULVOLIB names (an absolute path; a relative one is
    // refused), else libmulvo.so.1 by soname from the program's own tree (RUNPATH
    // $ORIGIN/../lib) or the system library path. The current directory is never searched.
    // On failure returns null and puts into `error` a text that names the file and, for a
    // missing function, the symbol.
    static std::unique_ptr<Library> load(std::string &error);
    // Loads `file`: an absolute path, or a bare soname looked up by the dynamic linker.
    static std::unique_ptr<Library> loadFile(const std::string &file, std::string &error);

    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    const Api &api() const { return api_; }
    const std::string &file() const { return file_; }

private:
    Library(void *handle, std::string file, const Api &api);

    void *handle_;
    std::string file_;
    Api api_;
};

} // namespace mulvo
