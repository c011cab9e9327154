#pragma once

#include "ops/base/outcome.h"
#include "ops/write/outputplace.h"

#include <QByteArray>

#include <cerrno>

#include <sys/stat.h>
#include <sys/types.h>

class FileSystemCalls;

// What the file writer and the folder writer share: how a new output is named while it is being made,
// how a refusal to look is told from a failure, and what a node of the wrong kind is.
namespace WriterSupport {

// Opens the place's folder into `folder` and looks at what its name holds: `exists`, and its `status` when
// it does. The obstacle met on the way (the folder missing or not to be entered, the name not to be looked
// at), or None.
OutputObstacle lookAtPlace(
    FileSystemCalls& calls, const OutputPlace& place, int& folder, struct stat& status, bool& exists);

// A replaced file's or folder's permission bits; set-user-ID and the like are not carried over.
inline constexpr mode_t permissionBits = 0777;

// Gives `node` the owner and group of the file or folder it replaces, as far as the system lets this
// user (root may give it any; another user keeps the file its own). Run as root on another user's
// image, the output stays theirs rather than becoming root's.
void keepOwner(int node, const struct stat& replaced);

// What a new file's bits are, 0666 less the process's umask (read where the system shows it, since
// setting it to learn it would race other threads creating files); 0600 when it cannot be read.
mode_t newFileMode();

// A refusal by permissions or a read-only mount, rather than a failure to look.
bool refusedAccess(int error);

// The obstacle a node of `mode` is where a node of type `wanted` (S_IFREG, S_IFDIR) goes; None for one
// of that type.
OutputObstacle obstacleOfKind(mode_t mode, mode_t wanted);

// ".NAME.tessel-XXXXXXXX" beside the target: hidden, recognisable, and within the length a name may have.
QByteArray hiddenName(const QByteArray& name);

// Tries hidden names for `name` until `take(candidate)` succeeds: the name taken. Empty when a try fails
// other than for a name in use, or when every one of them is in use; errno then says why.
template <typename Take> QByteArray takeHiddenName(const QByteArray& name, Take&& take)
{
    constexpr int tries = 100;
    for (int attempt = 0; attempt < tries; ++attempt) {
        const QByteArray candidate = hiddenName(name);
        if (take(candidate))
            return candidate;
        if (errno != EEXIST)
            return {};
    }
    return {};
}

} // namespace WriterSupport
