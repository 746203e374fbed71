#include "mulvoloader.h"

#include "adaptersetting.h"

#include "gpioconfig.h"
#include "gpiokernel.h"
#include "protocol.h"
#include "serviceconnection.h"
#include "simsegment.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mulvo {

namespace {

constexpr const char *kChoices = "give virtual, gpio, service, system or an absolute path";

// The user's own settings file: a value set there wins over any other file's, so that is where
// a message about a wrong value sends the operator.
std::string settingsFile()
{
    const std::vector<std::string> files = settingsFiles();
    return files.empty() ? std::string("the settings file") : files.front();
}

std::string lastDlError()
{
    const char *text = dlerror();
    return text ? text : "unknown error";
}

void setFailure(LoadFailure *failure, const std::string &file, std::string reason)
{
    if (failure)
        *failure = {file, std::move(reason)};
}

template <typename Function>
bool resolve(void *handle, const std::string &file, const char *name, Function &function,
             std::string &error, LoadFailure *failure)
{
    dlerror();
    void *symbol = dlsym(handle, name);
    if (!symbol) {
        error = file + ": missing function " + name;
        setFailure(failure, file, std::string("lacks ") + name);
        return false;
    }
    function = reinterpret_cast<Function>(symbol);
    return true;
}

// The bytes of an ELF header that say which machine a file is for: class, data encoding and
// e_machine, as stored (so in the file's own byte order).
struct ElfMachine
{
    unsigned char bytes[4] = {};
    bool operator==(const ElfMachine &) const = default;
};

bool elfMachine(const std::string &path, bool sharedObject, ElfMachine &machine)
{
    std::string header;
    if (!readRegularFile(path, 20, header) || header.size() < 20 ||
        header.compare(0, 4,
                       "\x7f"
                       "ELF") != 0)
        return false;
    if (sharedObject) {
        // e_type ET_DYN (3) in the file's byte order.
        const bool little = header[5] == 1;
        if (header[little ? 16 : 17] != 3 || header[little ? 17 : 16] != 0)
            return false;
    }
    machine.bytes[0] = header[4];
    machine.bytes[1] = header[5];
    machine.bytes[2] = header[18];
    machine.bytes[3] = header[19];
    return true;
}

const ElfMachine &ownMachine()
{
    static const ElfMachine machine = [] {
        ElfMachine m;
        elfMachine("/proc/self/exe", false, m);
        return m;
    }();
    return machine;
}

const char *machineName(unsigned machine)
{
    switch (machine) {
    case EM_X86_64:
        return "x86-64";
    case EM_386:
        return "x86";
    case EM_AARCH64:
        return "ARM64";
    case EM_ARM:
        return "ARM";
    case EM_RISCV:
        return "RISC-V";
    case EM_PPC64:
        return "PowerPC64";
    case EM_PPC:
        return "PowerPC";
    case EM_S390:
        return "s390x";
    case EM_MIPS:
        return "MIPS";
    case EM_LOONGARCH:
        return "LoongArch";
    case EM_SPARCV9:
        return "SPARC64";
    default:
        return nullptr;
    }
}

unsigned machineOf(const ElfMachine &m)
{
    return m.bytes[1] == ELFDATA2MSB ? (unsigned(m.bytes[2]) << 8) | m.bytes[3]
                                     : (unsigned(m.bytes[3]) << 8) | m.bytes[2];
}

std::string describeMachine(unsigned machine)
{
    const char *name = machineName(machine);
    return name ? name : "machine type " + std::to_string(machine);
}

// What keeps a shared object of another machine type out of this program, in the words of
// someone choosing a library: "a 32-bit library; this program needs x86-64". Empty when the
// file is no shared object of another machine.
std::string foreignMachine(const std::string &path)
{
    ElfMachine machine;
    const ElfMachine &own = ownMachine();
    if (!elfMachine(path, true, machine) || machine == own)
        return {};
    const bool otherClass = machine.bytes[0] != own.bytes[0];
    const bool otherOrder = machine.bytes[1] != own.bytes[1];
    const unsigned theirs = machineOf(machine);
    const unsigned ours = machineOf(own);
    // The 32-bit and 64-bit halves of one family go by the width alone.
    const bool sameFamily = theirs == ours || (theirs == EM_386 && ours == EM_X86_64) ||
                            (theirs == EM_ARM && ours == EM_AARCH64) ||
                            (theirs == EM_PPC && ours == EM_PPC64);
    std::string what = "a ";
    if (otherClass)
        what += machine.bytes[0] == ELFCLASS32 ? "32-bit " : "64-bit ";
    if (otherOrder)
        what += machine.bytes[1] == ELFDATA2MSB ? "big-endian " : "little-endian ";
    what += "library";
    if (!sameFamily || (!otherClass && !otherOrder))
        what += " for " + describeMachine(theirs);
    return what + "; this program needs " + describeMachine(ours);
}

// A library the dynamic linker could load into this program.
bool usableLibrary(const std::string &path)
{
    ElfMachine machine;
    return elfMachine(path, true, machine) && machine == ownMachine();
}

std::string exeParentDirectory()
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
    return path;
}

bool isDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sameFile(const struct stat &st, const std::string &path)
{
    struct stat other;
    return stat(path.c_str(), &other) == 0 && other.st_dev == st.st_dev &&
           other.st_ino == st.st_ino;
}

// Our own library `name` in the private directory, or empty with `error` set.
std::string bundledLibrary(const char *name, std::string &error, LoadFailure *failure)
{
    const std::string directory = adapterDirectory();
    if (directory.empty()) {
        error = std::string("cannot find the program's own directory to load ") + name;
        setFailure(failure, name, "not found");
        return {};
    }
    return directory + "/" + name;
}

uint32_t readU32(std::string_view data, size_t at)
{
    uint32_t value;
    std::memcpy(&value, data.data() + at, sizeof value);
    return value;
}

} // namespace

bool readRegularFile(const std::string &path, size_t limit, std::string &data)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    data.clear();
    // Read straight into the result: first room for what the file holds and a byte more, then
    // (for a file that grew meanwhile) a page at a time, never past the limit.
    size_t room = ok ? std::min(limit, size_t(st.st_size) + 1) : 0;
    while (ok && data.size() < limit) {
        const size_t have = data.size();
        const size_t want = std::min(limit - have, std::max(room, size_t(4096)));
        room = 0;
        data.resize(have + want);
        const ssize_t n = read(fd, data.data() + have, want);
        data.resize(have + (n > 0 ? size_t(n) : 0));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
    }
    close(fd);
    return ok;
}

bool parseAdapterChoice(std::string_view text, std::string_view origin, Choice &choice,
                        std::string &error)
{
    Choice parsed = choice;
    parsed.file.clear();
    if (text.empty()) {
        error = std::string(origin) + " is empty; " + kChoices;
        return false;
    }
    if (text == "virtual")
        parsed.library = Choice::Library::Virtual;
    else if (text == "gpio")
        parsed.library = Choice::Library::Gpio;
    else if (text == "service")
        parsed.library = Choice::Library::Service;
    else if (text == "system")
        parsed.library = Choice::Library::System;
    else if (text.front() == '/') {
        parsed.library = Choice::Library::File;
        parsed.file = text;
    } else if (text.find('/') != std::string_view::npos || text.front() == '.' ||
               text.find(".so") != std::string_view::npos) {
        // dlopen would look it up from the current directory or the caller's RUNPATH.
        error = std::string(origin) + " must be an absolute path, not the relative path \"" +
                std::string(text) + "\" (the current directory is never searched)";
        return false;
    } else {
        error = std::string(origin) + ": unknown adapter library \"" + std::string(text) + "\"; " +
                kChoices;
        return false;
    }
    choice = parsed;
    return true;
}

bool resolveChoice(const std::optional<std::string> &option,
                   const std::optional<std::string> &setting, Choice &choice, std::string &error)
{
    Choice result;
    bool ok = true;
    if (option) {
        result.source = Choice::Source::Option;
        ok = parseAdapterChoice(*option, "--adapter", result, error);
    } else if (const char *env = std::getenv(kLibraryEnv)) {
        result.source = Choice::Source::Environment;
        ok = parseAdapterChoice(env, kLibraryEnv, result, error);
    } else if (setting) {
        result.source = Choice::Source::Setting;
        ok = parseAdapterChoice(*setting,
                                std::string("the setting ") + kSettingKey + " in group [" +
                                    kSettingGroup + "] of " + settingsFile(),
                                result, error);
    }
    if (ok)
        choice = result;
    return ok;
}

std::string adapterDirectory()
{
    const std::string prefix = exeParentDirectory();
    if (prefix.empty())
        return {};
    const std::string installed = DOVRAX_ADAPTER_LIBDIR[0] == '/'
                                      ? std::string(DOVRAX_ADAPTER_LIBDIR)
                                      : prefix + "/" + DOVRAX_ADAPTER_LIBDIR;
    const std::string buildTree = prefix + "/lib/dovrax";
    if (!isDirectory(installed) && isDirectory(buildTree))
        return buildTree;
    return installed;
}

static std::string findInCacheData(std::string_view soname, std::string_view data)
{
    // The cache the dynamic linker reads (ldconfig's output): a header, then entries of
    // (flags, key, value, osversion, hwcap) whose key and value are offsets of NUL-terminated
    // strings from the header's start. An older format may come first.
    static constexpr char kOldMagic[] = "ld.so-1.7.0";
    static constexpr char kNewMagic[] = "glibc-ld.so.cache1.1";
    constexpr size_t kOldHeader = 16, kOldEntry = 12, kNewHeader = 48, kNewEntry = 24;
    size_t start = 0;
    if (data.size() >= kOldHeader && data.compare(0, sizeof kOldMagic - 1, kOldMagic) == 0) {
        const uint64_t oldEnd = kOldHeader + uint64_t(readU32(data, 12)) * kOldEntry;
        start = size_t((oldEnd + 7) & ~uint64_t(7));
        if (oldEnd > data.size())
            return {};
    }
    if (start > data.size() || data.size() - start < kNewHeader ||
        data.compare(start, sizeof kNewMagic - 1, kNewMagic) != 0)
        return {};
    const std::string_view table(data.data() + start, data.size() - start);
    auto stringAt = [&table](uint32_t offset) -> std::string_view {
        if (offset >= table.size())
            return {};
        const size_t end = table.find('\0', offset);
        return end == std::string_view::npos ? std::string_view{}
                                             : table.substr(offset, end - offset);
    };
    const uint64_t entries = readU32(data, start + 20);
    if (entries > (table.size() - kNewHeader) / kNewEntry)
        return {};
    for (uint64_t i = 0; i < entries; ++i) {
        const size_t at = start + kNewHeader + size_t(i) * kNewEntry;
        if (stringAt(readU32(data, at + 4)) != soname)
            continue;
        const std::string path(stringAt(readU32(data, at + 8)));
        if (!path.empty() && path.front() == '/' && usableLibrary(path))
            return path;
    }
    return {};
}

std::string findInCache(std::string_view soname, const std::string &cacheFile)
{
    // Mapped, as the dynamic linker maps it, rather than copied: its pages are in memory already.
    // ldconfig replaces the file by renaming a new one over it, never shortens it in place.
    const int fd = open(cacheFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st;
    void *mapped = MAP_FAILED;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        uint64_t(st.st_size) <= (256u << 20))
        mapped = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED)
        return {};
    const std::string found = findInCacheData(
        soname, std::string_view(static_cast<const char *>(mapped), size_t(st.st_size)));
    munmap(mapped, size_t(st.st_size));
    return found;
}

std::string findOnSystemPath(std::string_view soname)
{
    std::vector<std::string> directories;
    // Like the dynamic linker, ignore the variable in a program run with raised privileges.
    // Empty and relative entries would mean the current directory: skipped.
    if (const char *path = secure_getenv("LD_LIBRARY_PATH")) {
        std::string_view rest(path);
        while (!rest.empty()) {
            const size_t end = rest.find_first_of(":;");
            const std::string_view entry = rest.substr(0, end);
            if (!entry.empty() && entry.front() == '/' && entry.find('$') == std::string::npos)
                directories.emplace_back(entry);
            rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        }
    }
    for (const std::string &directory : directories) {
        const std::string candidate = directory + "/" + std::string(soname);
        if (usableLibrary(candidate))
            return candidate;
    }
    std::string cached = findInCache(soname, "/etc/ld.so.cache");
    if (!cached.empty())
        return cached;
    const std::string arch = MULVO_LIBRARY_ARCHITECTURE;
    std::vector<std::string> standard;
    if (!arch.empty())
        standard = {"/lib/" + arch, "/usr/lib/" + arch};
    for (const char *directory : {"/lib64", "/usr/lib64", "/lib", "/usr/lib"})
        standard.emplace_back(directory);
    for (const std::string &directory : standard) {
        const std::string candidate = directory + "/" + std::string(soname);
        if (usableLibrary(candidate))
            return candidate;
    }
    return {};
}

std::unique_ptr<Library> Library::choose(const Choice &choice, std::string &error,
                                         LoadFailure *failure)
{
    std::string file;
    switch (choice.library) {
    case Choice::Library::Automatic:
        file = findOnSystemPath(kDefaultSoname);
        if (file.empty())
            file = bundledLibrary(kDefaultSoname, error, failure);
        break;
    case Choice::Library::Virtual:
        file = bundledLibrary(kDefaultSoname, error, failure);
        break;
    case Choice::Library::Gpio:
        file = bundledLibrary(kGpioSoname, error, failure);
        break;
    case Choice::Library::Service:
        file = bundledLibrary(kServiceSoname, error, failure);
        break;
    case Choice::Library::System:
        file = findOnSystemPath(kDefaultSoname);
        if (file.empty()) {
            error = std::string(kDefaultSoname) + " is not on the system's library path";
            setFailure(failure, kDefaultSoname, "not on the system's library path");
            return nullptr;
        }
        break;
    case Choice::Library::File:
        file = choice.file;
        break;
    }
    if (file.empty())
        return nullptr;
    return loadFile(file, error, failure);
}

std::unique_ptr<Library> Library::loadFile(const std::string &file, std::string &error,
                                           LoadFailure *failure)
{
    if (file.empty() || file.front() != '/') {
        error = "adapter library must be an absolute path: \"" + file + "\"";
        setFailure(failure, file, "is not an absolute path");
        return nullptr;
    }
    // dlopen would block on a FIFO and read a device: only a regular file is a library.
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
        const int cause = errno;
        error = "cannot load adapter library " + file + ": " + std::strerror(cause);
        setFailure(failure, file,
                   cause == ENOENT || cause == ENOTDIR ? "not found"
                   : cause == EACCES                   ? "not accessible"
                                                       : "not readable");
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "cannot load adapter library " + file + ": not a regular file";
        setFailure(failure, file, "is not a regular file");
        return nullptr;
    }
    // The dynamic linker's own words for this are about a file it could not find.
    if (const std::string foreign = foreignMachine(file); !foreign.empty()) {
        error = "cannot load adapter library " + file + ": " + foreign;
        setFailure(failure, file, "is " + foreign.substr(0, foreign.find(';')));
        return nullptr;
    }
    dlerror();
    // RTLD_NOW: a library with unresolved symbols fails here rather than in a later call;
    // RTLD_LOCAL: its symbols cannot stand in for anyone else's.
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = "cannot load adapter library " + file + ": " + lastDlError();
        setFailure(failure, file, "cannot be loaded");
        return nullptr;
    }
    Api api;
    const bool complete =
        resolve(handle, file, "mulvo_open", api.open, error, failure) &&
        resolve(handle, file, "mulvo_close", api.close, error, failure) &&
        resolve(handle, file, "mulvo_mbout", api.mbout, error, failure) &&
        resolve(handle, file, "mulvo_mbin", api.mbin, error, failure) &&
        resolve(handle, file, "mulvo_set_extension", api.set_extension, error, failure) &&
        resolve(handle, file, "mulvo_get_extension", api.get_extension, error, failure) &&
        resolve(handle, file, "mulvo_connect", api.connect, error, failure) &&
        resolve(handle, file, "mulvo_intcout", api.intcout, error, failure) &&
        resolve(handle, file, "mulvo_out2", api.out2, error, failure);
    if (!complete) {
        dlclose(handle);
        return nullptr;
    }
    const std::string directory = adapterDirectory();
    const Kind kind = directory.empty()                                ? Kind::Other
                      : sameFile(st, directory + "/" + kDefaultSoname) ? Kind::Virtual
                      : sameFile(st, directory + "/" + kGpioSoname)    ? Kind::Gpio
                      : sameFile(st, directory + "/" + kServiceSoname) ? Kind::Service
                                                                       : Kind::Other;
    return std::unique_ptr<Library>(new Library(handle, file, kind, api));
}

Library::Library(void *handle, std::string file, Kind kind, const Api &api)
    : handle_(handle), file_(std::move(file)), kind_(kind), api_(api)
{}

Library::~Library()
{
    dlclose(handle_);
}

LibraryLabel describeLibrary(const Library *library, const std::string &error)
{
    if (!library)
        return {"No adapter library", error};
    return describeLibrary(library->kind(), library->file());
}

namespace {

// The description the adapter service the client library reaches gives of itself; false with
// `error` when no service answers there. `socket` is where it was looked for.
bool askService(service::ServiceInfo &info, std::string &socket, std::string &error)
{
    if (!service::socketPath(service::Side::Client, {}, socket, error))
        return false;
    const auto connection = service::Connection::open(socket, {}, error);
    if (!connection)
        return false;
    if (connection->info(info))
        return true;
    error = connection->reason();
    return false;
}

} // namespace

LibraryLabel describeLibrary(Library::Kind kind, const std::string &file)
{
    switch (kind) {
    case Library::Kind::Virtual: {
        std::string instance, error;
        if (!sim::SimSegment::instanceFromEnvironment(instance, error))
            instance = std::getenv(sim::kInstanceEnv); // invalid: shown as set
        if (instance == sim::kDefaultInstance)
            return {"Virtual adapter", file};
        return {"Virtual adapter: " + instance, file};
    }
    case Library::Kind::Gpio: {
        // DOVRAX opens adapter 0. Without a usable configuration the library names no chip
        // either; its own message says why.
        std::string chip, error;
        const std::string problem = openProblem(kind, 0);
        const std::string detail = problem.empty() ? file : file + "\n" + problem;
        if (!gpio::chipOfAdapter(0, chip, error))
            return {"GPIO", detail};
        return {"GPIO: " + chip, detail};
    }
    case Library::Kind::Service: {
        // The service says which library it holds; the client library itself is only the way
        // there.
        std::string socket, error;
        service::ServiceInfo info;
        if (askService(info, socket, error))
            return {"Service: " + info.label, "socket " + socket + ", library " + info.library};
        return {"Service: not reachable", error};
    }
    case Library::Kind::Other:
        break;
    }
    return {file.substr(file.rfind('/') + 1), file};
}

std::optional<uint8_t> serviceOutput(uint32_t device)
{
    std::string socket, error;
    service::ServiceInfo info;
    if (!askService(info, socket, error))
        return std::nullopt;
    for (const auto &[number, value] : info.outputs)
        if (number == device)
            return value;
    return std::nullopt;
}

std::string openProblem(Library::Kind kind, uint32_t device)
{
    if (kind != Library::Kind::Gpio)
        return {};
    std::string chip, error;
    if (!gpio::chipOfAdapter(device, chip, error)) {
        // A missing file is the first start's trouble: say where the commented example is.
        if (error.rfind("no GPIO configuration", 0) == 0)
            error += "; a commented example is " MULVO_GPIO_EXAMPLE;
        return "GPIO adapter: " + error;
    }
    gpio::ChipInfo info;
    const int fd = gpio::findChip(gpio::systemKernel(), chip, info, error);
    if (fd < 0)
        return "GPIO adapter: " + error;
    gpio::systemKernel().close(fd);
    return {};
}

} // namespace mulvo
