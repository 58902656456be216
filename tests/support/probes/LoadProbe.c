/* A library that says it was loaded: when a process loads it, it writes "loaded-by-uid-<uid>" beside its own
   file. An attack test offers it to the installer through a variable that would make a library load it
   (OPENSSL_CONF naming a provider module): the file must never appear. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void sayLoaded(void)
{
    Dl_info self;
    if (dladdr((void*)&sayLoaded, &self) == 0 || self.dli_fname == NULL)
        return;
    char path[4096];
    const char* slash = strrchr(self.dli_fname, '/');
    const int folderLength = slash == NULL ? 0 : (int)(slash - self.dli_fname);
    snprintf(path, sizeof path, "%.*s/loaded-by-uid-%u", folderLength, self.dli_fname, (unsigned)getuid());
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
}
