// Chooses and loads an adapter library the way the program does, from wherever it is started:
// prints the kind and path of the library loaded, or the reason none was.
// Usage: choose_probe [LIB]  (LIB as the --adapter option takes it)
#include "mulvoloader.h"

#include <cstdio>

int main(int argc, char **argv)
{
    std::optional<std::string> option;
    if (argc > 1)
        option = argv[1];
    mulvo::Choice choice;
    std::string error;
    if (!mulvo::resolveChoice(option, std::nullopt, choice, error)) {
        std::printf("refused: %s\n", error.c_str());
        return 2;
    }
    const auto library = mulvo::Library::choose(choice, error);
    if (!library) {
        std::printf("none: %s\n", error.c_str());
        return 1;
    }
    static const char *const kinds[] = {"virtual", "gpio", "other"};
    std::printf("%s %s\n", kinds[int(library->kind())], library->file().c_str());
    return 0;
}
