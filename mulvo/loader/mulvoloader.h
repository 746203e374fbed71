// Choosing and loading an adapter access library at run time.
//
// Every program and tool of ours that opens an adapter chooses its library the same way:
//
//     std::string error;
//     mulvo::Choice choice;
//     // `option` is the value of --adapter (std::nullopt when not given); the setting comes
//     // from readAdapterSetting() (adaptersetting.h); $DOVRAX_MULVOLIB is read in between.
//     if (!mulvo::resolveChoice(option, mulvo::readAdapterSetting(), choice, error)) {
//         fprintf(stderr, "tool: %s\n", error.c_str());
//         return 2; // refused before anything is opened
//     }
//     auto library = mulvo::Library::choose(choice, error);
//     if (library)
//         fprintf(stderr, "tool: adapter library %s\n", library->file().c_str());
//     else
//         fprintf(stderr, "tool: no adapter library: %s\n", error.c_str());
//
// Each library is opened by an absolute path worked out here: our own libraries from the
// private directory beside the program (<libdir>/dovrax, build/lib/dovrax in the build tree),
// a maker's libmulvo.so.1 from the system's library path as the dynamic linker knows it. The
// caller's RUNPATH and the current directory are never searched.
#pragma once

#include "mulvolib.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Environment variable that chooses the adapter library when no --adapter option does.
inline constexpr const char *kLibraryEnv = "DOVRAX_MULVOLIB";
// The settings store's group and key that choose it when neither does.
inline constexpr const char *kSettingGroup = "Adapter";
inline constexpr const char *kSettingKey = "Library";
// Soname of a maker's adapter library, and of our virtual adapter in the private directory.
inline constexpr const char *kDefaultSoname = "libmulvo.so.1";
// Our GPIO adapter library in the private directory.
inline constexpr const char *kGpioSoname = "libmulvo-gpio.so.1";
// The adapter service's client library in the private directory.
inline constexpr const char *kServiceSoname = "libmulvo-service.so.1";

// Which library to load.
struct Choice
{
    enum class Library
    {
        Automatic, // libmulvo.so.1 on the system's library path, else the virtual adapter
        Virtual,   // our virtual adapter
        Gpio,      // our GPIO adapter library
        Service,   // the adapter service's client library
        System,    // libmulvo.so.1 on the system's library path
        File,      // the absolute path in `file`
    };
    // Where the choice came from.
    enum class Source
    {
        Default,
        Option,
        Environment,
        Setting
    };

    Library library = Library::Automatic;
    std::string file;
    Source source = Source::Default;
};

// Parses LIB as the --adapter option, $DOVRAX_MULVOLIB and the setting take it: "virtual",
// "gpio", "service", "system" or an absolute path. An empty value, a relative path or another word
// is refused with `error` naming `origin` (e.g. "--adapter") and the value.
bool parseAdapterChoice(std::string_view text, std::string_view origin, Choice &choice,
                        std::string &error);

// The choice in its order: `option`, else $DOVRAX_MULVOLIB, else `setting`, else Automatic.
// Only the first source given is parsed; false with `error` when it is refused.
bool resolveChoice(const std::optional<std::string> &option,
                   const std::optional<std::string> &setting, Choice &choice, std::string &error);

// The private directory of our own adapter libraries as seen from the running program: the
// first of <exe dir>/../<install libdir>/dovrax and <exe dir>/../lib/dovrax that exists,
// else the first (for messages).
std::string adapterDirectory();

// The absolute path of `soname` on the system's library path: the absolute entries of
// $LD_LIBRARY_PATH, the dynamic linker's cache, then its standard directories; only regular
// files of this program's machine type count. Empty when there is none.
std::string findOnSystemPath(std::string_view soname);
// The path that the dynamic linker's cache file `cacheFile` (/etc/ld.so.cache) gives for
// `soname`, or empty.
std::string findInCache(std::string_view soname, const std::string &cacheFile);

// Why a library was not loaded, in a few words for the operator: the file (or the name looked
// for) and a short reason such as "not found"; the full text is the `error` beside it.
struct LoadFailure
{
    std::string file;
    std::string reason;
};

// An adapter library opened with dlopen; closed again when destroyed.
class Library
{
public:
    // What the library is, for showing it to the operator.
    enum class Kind
    {
        Virtual,
        Gpio,
        Service,
        Other
    };

    // Loads the chosen library. On failure returns null and puts into `error` a text that
    // names the file and, for a missing function, the symbol; `failure`, when given, gets the
    // short form.
    static std::unique_ptr<Library> choose(const Choice &choice, std::string &error,
                                           LoadFailure *failure = nullptr);
    // Loads `file`, an absolute path of a regular file.
    static std::unique_ptr<Library> loadFile(const std::string &file, std::string &error,
                                             LoadFailure *failure = nullptr);

    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    const Api &api() const { return api_; }
    // The absolute path it was opened by.
    const std::string &file() const { return file_; }
    Kind kind() const { return kind_; }

private:
    Library(void *handle, std::string file, Kind kind, const Api &api);

    void *handle_;
    std::string file_;
    Kind kind_;
    Api api_;
};

// How the operator is shown the library in use: a short name, and the full path (or, with no
// library, the reason).
struct LibraryLabel
{
    std::string text;
    std::string detail;
};

// "Virtual adapter" (": NAME" for an instance other than the default), "GPIO: CHIP" (the chip
// adapter 0 is configured on), "Service: " and the label of the library the adapter service
// uses (asked of the service; the detail names its socket and that library), the file name of
// any other library, "No adapter library" when
// `library` is null and `error` says why.
LibraryLabel describeLibrary(const Library *library, const std::string &error);
LibraryLabel describeLibrary(Library::Kind kind, const std::string &file);

// The last byte written to adapter `device` through the adapter service the client library
// reaches, as the service tells; none when it is not reachable or has had no write.
std::optional<uint8_t> serviceOutput(uint32_t device);

// Reads up to `limit` bytes of a regular file without blocking on anything else (a FIFO or a
// device named in its place is not read); false when it is missing, unreadable or no file.
bool readRegularFile(const std::string &path, size_t limit, std::string &data);

// Why adapter `device` of a library of `kind` cannot be opened, as far as a look from outside
// the library tells ("GPIO adapter: " and its configuration's or its chip's trouble); empty
// when nothing is known. The library itself says more on standard error.
std::string openProblem(Library::Kind kind, uint32_t device);

} // namespace mulvo
