#include "store/vdir/vdir_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace ravu {
namespace fs = std::filesystem;

namespace {

/// Writes a small metadata file; false when it could not be written whole.
bool writeSmallFile(const fs::path& path, std::string_view text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return (::close(fd) == 0) && whole;
}

/// Makes the folder and its missing parents private to the user (0700, which no umask widens):
/// they hold the user's calendars, and under XDG_DATA_HOME other programs' data.
bool makeFolders(const fs::path& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    if (folder.has_parent_path() && folder.parent_path() != folder &&
        !makeFolders(folder.parent_path())) {
        return false;
    }
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

AuthorizationStatus VdirStore::authorizationStatus() const {
    struct stat info {};
    if (::stat(root_.c_str(), &info) != 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? AuthorizationStatus::notDetermined
                                                     : AuthorizationStatus::denied;
    }
    if (!S_ISDIR(info.st_mode) || ::access(root_.c_str(), R_OK | X_OK) != 0) {
        return AuthorizationStatus::denied;
    }
    return AuthorizationStatus::fullAccess;
}

bool VdirStore::requestFullAccess() {
    switch (authorizationStatus()) {
        case AuthorizationStatus::fullAccess:
            return true;
        case AuthorizationStatus::notDetermined:
            break;
        default:
            return false;
    }
    // Build the new store beside its final place and move it in with one rename, so that no
    // other run ever sees a half-made root.
    std::error_code error;
    const fs::path parent = root_.parent_path().empty() ? fs::path{"."} : root_.parent_path();
    if (!makeFolders(parent)) {
        return false;
    }
    std::string pattern = (parent / ".ravu-calendar-new-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return false;
    }
    const fs::path staging{pattern};
    const fs::path calendar = staging / "local" / "calendar";
    const bool built = ::chmod(staging.c_str(), 0700) == 0 &&
                       ::mkdir((staging / "local").c_str(), 0700) == 0 &&
                       ::mkdir(calendar.c_str(), 0700) == 0 &&
                       writeSmallFile(calendar / "displayname", "Calendar\n");
    if (built && ::rename(staging.c_str(), root_.c_str()) == 0) {
        return true;
    }
    fs::remove_all(staging, error);
    // Another run may have made the root in the meantime; that one counts as well.
    return authorizationStatus() == AuthorizationStatus::fullAccess;
}

}  // namespace ravu
