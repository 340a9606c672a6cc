#include "png_file.h"

#include "signals_held.h"

#include <png.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// How the complete picture gets a name: an unnamed file (O_TMPFILE) is linked
// from its descriptor, where the process may (AT_EMPTY_PATH), or through
// /proc/self/fd, where /proc is there; a named temporary file is renamed.
enum class Naming { LinkDescriptor, LinkThroughProc, RenameTemporary };

// The picture's file. Where the file system can and the file can be linked,
// it is an unnamed file in the folder of the file it replaces, which nothing
// can leave behind while it is written, not even SIGKILL; it gets a name only
// once complete. Elsewhere it is a named temporary file there, removed on
// every way out, fatal signals included (all but SIGKILL).
struct PngFile {
    std::string path;    // as given, for messages
    std::string target;  // the file that gets the picture: the path, links followed
    std::string folder;  // the target's folder
    FILE* file = nullptr;
    Naming naming = Naming::RenameTemporary;
    bool replaces = false;  // the target is a regular file, which `replaced` describes
    struct stat replaced;
};
PngFile png;

// The fallback's temporary file, for the signal handler.
char tempName[PATH_MAX];
volatile sig_atomic_t tempExists = 0;

std::string Folder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool Refuse(const std::string& reason, std::string* problem)
{
    *problem = "cannot write the PNG file '" + png.path + "': " + reason;
    return false;
}

// Follows the path's links to the file that gets the picture, which need not
// exist yet, and checks that it is a regular file if it does.
bool FindTarget(std::string* problem)
{
    if (png.path.empty())
        return Refuse("the name is empty", problem);
    if (png.path.back() == '/')
        return Refuse("the name ends in '/' (a folder)", problem);
    png.target = png.path;
    for (int links = 0;; ++links) {
        struct stat status;
        if (lstat(png.target.c_str(), &status) != 0)
            return errno == ENOENT ? true : Refuse(std::strerror(errno), problem);
        if (S_ISREG(status.st_mode)) {
            png.replaces = true;
            png.replaced = status;
            return true;
        }
        if (S_ISDIR(status.st_mode))
            return Refuse("it is a folder", problem);
        if (!S_ISLNK(status.st_mode))
            return Refuse("it is not a regular file (a device, FIFO or socket), and is left as it is", problem);
        if (links == 40)
            return Refuse(std::strerror(ELOOP), problem);
        char link[PATH_MAX];
        const ssize_t length = readlink(png.target.c_str(), link, sizeof link - 1);
        if (length < 0)
            return Refuse(std::strerror(errno), problem);
        link[length] = '\0';
        png.target = link[0] == '/' ? std::string(link) : Folder(png.target) + "/" + link;
    }
}

// Whether the process has the capability (CAP_...) in its effective set.
bool HasCapability(int capability)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capget, &header, data) == 0 && (data[capability / 32].effective >> (capability % 32) & 1);
}

// Whether the process may put a new file in the existing target's place, as
// the end of the run will: checked before any frame is rendered, by the rules
// the system applies then, and by those a shell's redirection applies.
bool MayReplace(std::string* problem)
{
    const struct stat& old = png.replaced;
    struct stat out;
    if (fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == old.st_dev && out.st_ino == old.st_ino)
        return Refuse("it is the file standard output writes to", problem);
    // A file the user may not write is not overwritten, as by a shell.
    if (faccessat(AT_FDCWD, png.target.c_str(), W_OK, AT_EACCESS) != 0)
        return Refuse(std::strerror(errno), problem);
    // In a sticky folder (such as /tmp) only the file's owner, the folder's
    // owner or a process with CAP_FOWNER may replace a file.
    struct stat folder;
    if (stat(png.folder.c_str(), &folder) != 0)
        return Refuse(std::strerror(errno), problem);
    const uid_t me = geteuid();
    if ((folder.st_mode & S_ISVTX) && old.st_uid != me && folder.st_uid != me && !HasCapability(CAP_FOWNER))
        return Refuse("it belongs to another user, and its folder is sticky: only its owner may replace it",
                      problem);
    return true;
}

// How the unnamed file `fd` can be given a name at the end. A link to the
// folder's own "." finds out without making anything: the system checks what
// it links from before it finds that the name exists.
bool ChooseLink(int fd)
{
    const std::string existing = png.folder + "/.";
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (linkat(fd, "", AT_FDCWD, existing.c_str(), AT_EMPTY_PATH) != 0 && errno == EEXIST)
        png.naming = Naming::LinkDescriptor;
    else if (linkat(AT_FDCWD, proc, AT_FDCWD, existing.c_str(), AT_SYMLINK_FOLLOW) != 0 && errno == EEXIST)
        png.naming = Naming::LinkThroughProc;
    else
        return false;
    return true;
}

// The replaced file's owner and group, where the process may give them:
// root gives both, an owner a group it belongs to. Otherwise the new file is
// the process's own, as a file it makes is.
void KeepOwner(int fd)
{
    if (fchown(fd, png.replaced.st_uid, png.replaced.st_gid) != 0)
        static_cast<void>(fchown(fd, static_cast<uid_t>(-1), png.replaced.st_gid));
}

// Closes a descriptor whose setting up failed, keeping that failure's errno;
// returns -1.
int Abandon(int fd)
{
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

void OnFatalSignal(int number)
{
    if (tempExists)
        unlink(tempName);
    tempExists = 0;
    signal(number, SIG_DFL);
    raise(number);  // delivered once the handler returns
}

// Every signal whose default ends the process removes the temporary file
// first; one the caller has the tool ignore stays ignored.
void HandleFatalSignals()
{
    struct sigaction action = {};
    action.sa_handler = OnFatalSignal;
    sigfillset(&action.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        switch (number) {
        case SIGKILL: case SIGSTOP: case SIGCHLD: case SIGCONT: case SIGTSTP: case SIGTTIN: case SIGTTOU:
        case SIGURG: case SIGWINCH:
            continue;
        }
        struct sigaction old;
        if (sigaction(number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(number, &action, nullptr);
    }
}

// A named temporary file in the target's folder. Signals wait while it is
// created and its name recorded, so that the handler always knows it.
int CreateNamedTemp()
{
    HandleFatalSignals();
    int fd = -1;
    WithSignalsHeld([&] {
        std::snprintf(tempName, sizeof tempName, "%s/.mandelbrot-frames-XXXXXX", png.folder.c_str());
        fd = mkostemp(tempName, O_CLOEXEC);
        tempExists = fd >= 0;
    });
    return fd;
}

// Why the picture could not be written: the system's reason for a failed
// write, which libpng would report only as "Write Error", or libpng's own.
std::string failure;

void PngWrite(png_structp png_ptr, png_bytep data, size_t length)
{
    if (std::fwrite(data, 1, length, static_cast<FILE*>(png_get_io_ptr(png_ptr))) != length) {
        failure = std::strerror(errno);
        png_error(png_ptr, "write failed");
    }
}

// Flushing is left to SavePng, which checks it.
void PngFlush(png_structp) {}

// libpng's own handlers print to stderr; the tool reports one line itself.
void PngError(png_structp png_ptr, png_const_charp message)
{
    if (failure.empty())
        failure = message;
    std::longjmp(png_jmpbuf(png_ptr), 1);
}

void PngWarning(png_structp, png_const_charp) {}

// The words are little-endian bytes blue, green, red, zero: libpng swaps the
// first and third and drops the fourth.
bool WritePng(const uint32_t* pixels, int32_t width, int32_t height)
{
    png_structp png_ptr = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    png_infop info = png_ptr ? png_create_info_struct(png_ptr) : nullptr;
    bool ok = png_ptr && info;
    if (!ok)
        failure = std::strerror(ENOMEM);
    if (ok && setjmp(png_jmpbuf(png_ptr))) {
        ok = false;
    } else if (ok) {
        png_set_write_fn(png_ptr, png.file, PngWrite, PngFlush);
        png_set_IHDR(png_ptr, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png_ptr, info);
        png_set_bgr(png_ptr);
        png_set_filler(png_ptr, 0, PNG_FILLER_AFTER);
        for (int32_t y = 0; y < height; ++y)
            png_write_row(png_ptr, reinterpret_cast<png_const_bytep>(pixels + static_cast<int64_t>(y) * width));
        png_write_end(png_ptr, info);
    }
    png_destroy_write_struct(&png_ptr, &info);
    return ok;
}

// Gives the complete unnamed file the target's name: a link under a fresh
// temporary name, made the way PreparePng chose, renamed onto the target.
// Signals wait meanwhile, so that none but SIGKILL, in that instant, can
// leave the link.
bool NameUnnamed()
{
    const int fd = fileno(png.file);
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    bool ok = false;
    WithSignalsHeld([&] {
        int error = EEXIST;
        for (int attempt = 0; !ok && error == EEXIST && attempt < 100; ++attempt) {
            std::snprintf(tempName, sizeof tempName, "%s/.mandelbrot-frames-%ld-%d", png.folder.c_str(),
                          static_cast<long>(getpid()), attempt);
            ok = png.naming == Naming::LinkDescriptor
                     ? linkat(fd, "", AT_FDCWD, tempName, AT_EMPTY_PATH) == 0
                     : linkat(AT_FDCWD, proc, AT_FDCWD, tempName, AT_SYMLINK_FOLLOW) == 0;
            error = errno;
        }
        if (!ok)
            failure = std::strerror(error);
        if (ok && std::rename(tempName, png.target.c_str()) != 0) {
            failure = std::strerror(errno);
            unlink(tempName);
            ok = false;
        }
    });
    return ok;
}

}  // namespace

bool PreparePng(const char* path, std::string* problem)
{
    png.path = path;
    if (!FindTarget(problem))
        return false;
    png.folder = Folder(png.target);
    if (png.replaces && !MayReplace(problem))
        return false;
    int fd = open(png.folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0 && !ChooseLink(fd)) {
        fd = Abandon(fd);
        errno = EOPNOTSUPP;
    }
    // Older kernels and some file systems have no unnamed files, and without
    // /proc or the right to link a descriptor there is no way to name one.
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        png.naming = Naming::RenameTemporary;
        fd = CreateNamedTemp();
        const mode_t mask = umask(0);
        umask(mask);
        if (fd >= 0 && !png.replaces && fchmod(fd, 0666 & ~mask) != 0)
            fd = Abandon(fd);
    }
    // A replaced file's permission bits stay, set once its owner is.
    if (fd >= 0 && png.replaces) {
        KeepOwner(fd);
        if (fchmod(fd, png.replaced.st_mode & 0777) != 0)
            fd = Abandon(fd);
    }
    if (fd >= 0)
        png.file = fdopen(fd, "wb");
    if (!png.file) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        DiscardPng();
        return Refuse(std::strerror(error), problem);
    }
    return true;
}

bool SavePng(const uint32_t* pixels, int32_t width, int32_t height, std::string* problem)
{
    bool ok = WritePng(pixels, width, height);
    if (ok && (std::fflush(png.file) != 0 || fsync(fileno(png.file)) != 0)) {
        ok = false;
        failure = std::strerror(errno);
    }
    if (ok && png.naming != Naming::RenameTemporary)
        ok = NameUnnamed();
    if (std::fclose(png.file) != 0 && ok) {
        ok = false;
        failure = std::strerror(errno);
    }
    png.file = nullptr;
    if (ok && png.naming == Naming::RenameTemporary) {
        WithSignalsHeld([&] {
            ok = std::rename(tempName, png.target.c_str()) == 0;
            if (ok)
                tempExists = 0;
            else
                failure = std::strerror(errno);
        });
    }
    if (!ok) {
        DiscardPng();
        *problem = "writing the PNG file '" + png.path + "' failed: " + failure;
    }
    return ok;
}

void DiscardPng()
{
    if (tempExists)
        unlink(tempName);
    tempExists = 0;
}
