// strell-load-library: loads DLLs by bare name with LoadLibraryA, as the framework does, and tells from
// where each came. Run from a folder with planted DLLs, it shows what a process that does not limit its
// DLL search would load.
//
//   strell-load-library name.dll [name.dll...]
//
// Prints "<name>\t<full path of the loaded module>" or "<name>\tfailed: error <n>", one line per name.
// Exits 0 when every name loaded, 1 when one did not, 2 without names.
#include <windows.h>

#include <cstdio>

// Takes DLL names; loads each and prints where it came from; returns as described above.
int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    int result = 0;
    for (int i = 1; i < argc; ++i)
    {
        const HMODULE module = LoadLibraryA(argv[i]);
        char path[MAX_PATH * 4] = {};
        if (module == nullptr || GetModuleFileNameA(module, path, sizeof path) == 0)
        {
            std::printf("%s\tfailed: error %lu\n", argv[i], static_cast<unsigned long>(GetLastError()));
            result = 1;
            continue;
        }
        std::printf("%s\t%s\n", argv[i], path);
    }
    return result;
}
